#!/usr/bin/env bash
# The Tavrik.Client package as a user interface gets it: `nuget install` from a local folder feed
# holding the .nupkg, a program compiled against the package's assembly alone, and a heartbeat
# through a real worker, answered and read back. Also checks the package's contents, and that the
# program says so when no worker runs.
#
#   package_test.sh FEED VERSION     (ctest: dotnet_client_package)
# Needs TAVRIK_BUILD_DIR and TAVRIK_SOURCE_DIR, as the other client tests.
set -euo pipefail
feed="$1"
version="$2"
# shellcheck source=scripts/lib.sh
source "$TAVRIK_SOURCE_DIR/scripts/lib.sh"
begin_private_run tavrik-nupkg
fail() { echo "package_test: $*" >&2; exit 1; }

nupkg="$feed/Tavrik.Client.$version.nupkg"
[[ -f "$nupkg" ]] || fail "no $nupkg in the feed"
listing=$(unzip -Z1 "$nupkg")
for entry in Tavrik.Client.nuspec lib/netstandard2.0/Tavrik.Client.dll LICENSE README.md; do
  grep -qx "$entry" <<<"$listing" || fail "$entry is not in the package: $listing"
done
unzip -p "$nupkg" Tavrik.Client.nuspec | grep -q "<version>$version</version>" ||
  fail "the package's nuspec does not carry version $version"

# A home of its own: NuGet keeps its caches and settings there, and finds no user's sources.
export HOME="$work/home"
mkdir -p "$HOME"
nuget install Tavrik.Client -Version "$version" -Source "$feed" -OutputDirectory "$work/packages" \
  -NonInteractive >"$work/nuget.log" 2>&1 || { cat "$work/nuget.log" >&2; fail "nuget install"; }
dll="$work/packages/Tavrik.Client.$version/lib/netstandard2.0/Tavrik.Client.dll"
[[ -f "$dll" ]] || fail "nuget install did not unpack $dll"

mkdir "$work/app"
cp "$dll" "$work/app/"
mcs -nologo -langversion:7.2 -warnaserror -target:exe -out:"$work/app/HeartbeatConsumer.exe" \
  -r:"$work/app/Tavrik.Client.dll" "$TAVRIK_SOURCE_DIR/clients/dotnet/consumer/HeartbeatConsumer.cs"

set +e
mono "$work/app/HeartbeatConsumer.exe" >"$work/none.out" 2>&1
status=$?
set -e
[[ $status -eq 3 ]] || { cat "$work/none.out" >&2; fail "with no worker: exit $status, not 3"; }

TAVRIK_LOG="$work/worker.log" "$TAVRIK_BUILD_DIR/bin/tavrik-worker" &
pids+=($!)
for _ in $(seq 200); do
  grep -q "Tavrik waiting for spec registrations" "$work/worker.log" 2>/dev/null && break
  sleep 0.05
done
mono "$work/app/HeartbeatConsumer.exe" | tee "$work/app.out" || fail "the consumer failed"
grep -q "^heartbeat: " "$work/app.out" || fail "no heartbeat read"
grep -qx "worker version: $version" "$work/app.out" || fail "no version reply"
