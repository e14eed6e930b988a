#!/usr/bin/env bash
# Builds the .deb, installs it with dpkg, and proves that the installed programs work: the files
# are where a desktop expects them, the systemd user unit passes systemd-analyze verify, and the
# installed tavrik-worker and tavrik-ctl do the demo's round trip (version, add with a template
# found in the XDG data directory, a hit, remove) on a private Xvfb. Removes the package again.
#
#   scripts/package-test.sh [preset]      (default: ci; the build tree is reused)
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
preset="${1:-ci}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
build="build/$preset"
rm -f "$build"/tavrik-worker_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tavrik-worker_*.deb)
echo "package: $deb"
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'

begin_private_run tavrik-pkg
on_exit() { "${sudo_cmd[@]}" dpkg -r tavrik-worker >/dev/null 2>&1; }
# cmake --install puts the same files under any prefix.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/tavrik-worker bin/tavrik-ctl lib/systemd/user/tavrik-worker.service \
         share/man/man1/tavrik-ctl.1 share/doc/tavrik-worker/protocol.md; do
  [[ -e "$work/prefix/$f" ]] || { echo "package-test: cmake --install left out $f" >&2; exit 1; }
done
fail() { echo "package-test: $*" >&2; exit 1; }

"${sudo_cmd[@]}" dpkg -i "$deb" >/dev/null
for f in /usr/bin/tavrik-worker /usr/bin/tavrik-ctl /usr/lib/systemd/user/tavrik-worker.service \
         /usr/share/tavrik-worker/tavrik-worker.desktop \
         /usr/share/bash-completion/completions/tavrik-ctl \
         /usr/share/man/man1/tavrik-worker.1 /usr/share/man/man1/tavrik-ctl.1 \
         /usr/share/doc/tavrik-worker/README.md /usr/share/doc/tavrik-worker/LICENSE \
         /usr/share/doc/tavrik-worker/protocol.md; do
  [[ -e "$f" ]] || fail "$f is not installed"
done
echo "installed: $(dpkg -L tavrik-worker | wc -l) paths"
# No user manager runs here (CI is a container); the unit is checked offline instead.
systemd-analyze verify /usr/lib/systemd/user/tavrik-worker.service ||
  fail "systemd-analyze verify refused the user unit"
echo "systemd-analyze verify: tavrik-worker.service is valid"
[[ "$(/usr/bin/tavrik-ctl --version)" == "tavrik-ctl 0.2.4" ]] || fail "tavrik-ctl --version"

# The round trip, with the installed programs only (the demo's target window comes from the
# build tree: it is not part of the package).
export XDG_DATA_HOME="$work/data"
mkdir -p "$XDG_DATA_HOME/tavrik"
start_private_xvfb
"$build/bin/tavrik-demo" --write-templates "$XDG_DATA_HOME/tavrik"
start_demo_target "$build/bin/tavrik-demo" "$work" --x 60 --y 40 --toggle-ms 600000

TAVRIK_LOG="$work/worker.log" /usr/bin/tavrik-worker &
pids+=($!)
wait_for_worker_rings
ctl=/usr/bin/tavrik-ctl
[[ "$($ctl version)" == "__ver__:0.2.4" ]] || fail "no version reply from the installed worker"
# A relative path: found by the installed worker in $XDG_DATA_HOME/tavrik.
$ctl add --name badge:pkg --path badge.png --process tavrik-demo --roi 0,0,480,320 \
  --cooldown-ms 200
$ctl watch --timeout 6 >"$work/hits.json" || true
grep -q '"isHit":1,.*"name":"badge"' "$work/hits.json" ||
  { cat "$work/worker.log" >&2; fail "no hit for badge:pkg"; }
$ctl remove badge:pkg
for _ in $(seq 100); do grep -q "Removed 'badge:pkg'" "$work/worker.log" && break; sleep 0.05; done
grep -q "Removed 'badge:pkg'" "$work/worker.log" || fail "the remove was not executed"
grep -m1 '^\[HIT\] badge:pkg' "$work/worker.log"
echo "package-test: OK (installed worker: version, add from \$XDG_DATA_HOME/tavrik, hit, remove)"
