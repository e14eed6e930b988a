#!/usr/bin/env bash
# Builds the .deb packages (tavrik-worker, python3-tavrik), holds them to lintian (any error or
# warning fails), installs them with dpkg, and proves that the installed programs work: the files
# are where a desktop expects them, the systemd user unit passes systemd-analyze verify, and the
# installed tavrik-worker and tavrik-ctl do the demo's round trip (version, add with a template
# found in the XDG data directory, a hit, remove) on a private Xvfb. The same unit installed by
# `cmake --install` under another prefix must name that prefix's program, pass verify, and its
# ExecStart line must start a worker. Removes the packages again.
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
rm -f "$build"/tavrik-worker_*.deb "$build"/python3-tavrik_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tavrik-worker_*.deb)
python_deb=$(ls "$build"/python3-tavrik_*_all.deb)
for package in "$deb" "$python_deb"; do
  echo "package: $package"
  dpkg-deb --info "$package" | grep -E '^ (Package|Version|Architecture|Depends|Recommends):'
done
# A distribution's bar: no error and no warning. Overrides, if ever needed, ship in the package
# (usr/share/lintian/overrides/<package>) with a one-line reason each.
lintian --fail-on error,warning --tag-display-limit 0 "$deb" "$python_deb" ||
  { echo "package-test: lintian refused a package" >&2; exit 1; }
echo "lintian: no errors or warnings in $(basename "$deb") and $(basename "$python_deb")"

begin_private_run tavrik-pkg
on_exit() { "${sudo_cmd[@]}" dpkg -r python3-tavrik tavrik-worker >/dev/null 2>&1; }
fail() { echo "package-test: $*" >&2; exit 1; }

# cmake --install puts the same files under any prefix, and the unit and the autostart entry name
# the program there: systemd would not find a bare name outside its own search path.
prefix="$work/opt prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/tavrik-worker bin/tavrik-ctl lib/systemd/user/tavrik-worker.service \
         lib/systemd/user/tavrik-worker@.service share/tavrik-worker/tavrik-worker.desktop share/man/man1/tavrik-ctl.1.gz \
         share/doc/tavrik-worker/protocol.md; do
  [[ -e "$prefix/$f" ]] || fail "cmake --install left out $f"
done
unit="$prefix/lib/systemd/user/tavrik-worker.service"
# The prefix has a space, so both files quote the path.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[[ "$exec_start" == "\"$prefix/bin/tavrik-worker\"" ]] || fail "the unit starts '$exec_start'"
grep -qxF "Exec=\"$prefix/bin/tavrik-worker\"" "$prefix/share/tavrik-worker/tavrik-worker.desktop" ||
  fail "the autostart entry does not name $prefix/bin/tavrik-worker"
exec_start="${exec_start:1:-1}"
# verify also opens the Documentation= page, which man finds under this prefix as it would for a
# user whose PATH holds the prefix's bin.
MANPATH="$prefix/share/man:" systemd-analyze verify "$unit" ||
  fail "systemd-analyze verify refused the unit under $prefix"
MANPATH="$prefix/share/man:" systemd-analyze verify "$prefix/lib/systemd/user/tavrik-worker@.service" ||
  fail "systemd-analyze verify refused the instance unit under $prefix"
# The ExecStart line as the user manager would run it: the unit's environment, no search path.
# A namespace of its own: the rings it leaves must not pass for the packaged worker's below.
unit_env=$(sed -n 's/^Environment=//p' "$unit")
(
  export TAVRIK_IPC_NAMESPACE="$TAVRIK_IPC_NAMESPACE-prefix"
  # The user manager gives its services the session's XDG_RUNTIME_DIR, where the worker lock is.
  runtime_env=()
  [[ -n "${XDG_RUNTIME_DIR:-}" ]] && runtime_env=(XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR")
  # shellcheck disable=SC2086 # one word per assignment, as systemd reads them
  env -i PATH=/nonexistent TAVRIK_IPC_NAMESPACE="$TAVRIK_IPC_NAMESPACE" "${runtime_env[@]}" \
    $unit_env "$exec_start" 2>"$work/prefix-worker.err" &
  prefix_worker=$!
  wait_for_worker_rings
  answer=$("$prefix/bin/tavrik-ctl" version) || true
  kill -TERM "$prefix_worker"
  [[ "$answer" == "__ver__:0.2.4" ]] || fail "the unit's ExecStart did not start a worker that answers"
  wait "$prefix_worker" || fail "the worker started by the unit's ExecStart did not stop cleanly"
)
grep -q "Tavrik waiting for spec registrations" "$work/prefix-worker.err" ||
  fail "TAVRIK_LOG=stderr from the unit did not reach standard error"
echo "unit under '$prefix': ExecStart=$exec_start verified and run"

"${sudo_cmd[@]}" dpkg -i "$deb" "$python_deb" >/dev/null
for f in /usr/bin/tavrik-worker /usr/bin/tavrik-ctl /usr/lib/systemd/user/tavrik-worker.service \
         /usr/lib/systemd/user/tavrik-worker@.service \
         /usr/share/tavrik-worker/tavrik-worker.desktop \
         /usr/share/bash-completion/completions/tavrik-ctl \
         /usr/share/man/man1/tavrik-worker.1.gz /usr/share/man/man1/tavrik-ctl.1.gz \
         /usr/share/doc/tavrik-worker/README.md /usr/share/doc/tavrik-worker/copyright \
         /usr/share/doc/tavrik-worker/changelog.gz /usr/share/doc/tavrik-worker/protocol.md \
         /usr/lib/python3/dist-packages/tavrik/__init__.py \
         /usr/share/doc/python3-tavrik/copyright; do
  [[ -e "$f" ]] || fail "$f is not installed"
done
echo "installed: $(dpkg -L tavrik-worker | wc -l) paths, python3-tavrik $(dpkg -L python3-tavrik | wc -l)"
# No user manager runs here (CI is a container); the unit is checked offline instead.
installed_unit=/usr/lib/systemd/user/tavrik-worker.service
grep -qx "ExecStart=/usr/bin/tavrik-worker" "$installed_unit" || fail "the packaged unit's ExecStart"
systemd-analyze verify "$installed_unit" || fail "systemd-analyze verify refused the user unit"
# The instance unit, as a template and as one instance: the instance name becomes the namespace.
instance_unit=/usr/lib/systemd/user/tavrik-worker@.service
grep -qx "Environment=TAVRIK_IPC_NAMESPACE=%i" "$instance_unit" ||
  fail "the instance unit does not take its namespace from the instance name"
systemd-analyze verify "$instance_unit" /usr/lib/systemd/user/tavrik-worker@demo-1.service ||
  fail "systemd-analyze verify refused the instance unit"
echo "systemd-analyze verify: tavrik-worker.service and tavrik-worker@.service are valid"
# Without a session (CI) the user manager's runtime folder is made up; the review needs one.
mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work/runtime}" \
  systemd-analyze security --offline=true --user "$installed_unit" | grep -i "overall exposure" ||
  fail "systemd-analyze security could not judge the unit"
# Debian's python3 finds the packaged client, outside any source tree (and as root, without
# PYTHONDONTWRITEBYTECODE, writes its compiled files there, as it would on a user's machine).
[[ "$(cd / && env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -c \
        'import tavrik; print(tavrik.__file__, tavrik.__version__)')" == \
   "/usr/lib/python3/dist-packages/tavrik/__init__.py 0.2.4" ]] || fail "python3-tavrik's module"
if command -v py3compile >/dev/null; then
  compiled=(/usr/lib/python3/dist-packages/tavrik/__pycache__/client.*.pyc)
  [[ -f "${compiled[0]}" ]] || fail "python3-tavrik's postinst did not byte-compile the modules"
fi
# Removal leaves nothing behind, compiled files included.
"${sudo_cmd[@]}" dpkg -r python3-tavrik >/dev/null
[[ ! -e /usr/lib/python3/dist-packages/tavrik ]] ||
  fail "removing python3-tavrik left $(find /usr/lib/python3/dist-packages/tavrik | tr '\n' ' ')"
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
