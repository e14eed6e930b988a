#!/usr/bin/env bash
# The full Tavrik.Client package (scripts/pack-nuget.sh) as a .NET Framework application gets it:
# its layout; `nuget install` from a folder feed into a packages.config project
# (consumer/OwnWorkerConsumer.csproj) built with Mono's xbuild, whose output folder must then
# hold the Win32 worker (the package's targets file at work); and that program run under Mono,
# starting a Linux worker of its own (found on the PATH) and talking to it.
#
#   nuget_package_test.sh FEED VERSION
# Needs TAVRIK_BUILD_DIR (a Linux build: bin/tavrik-worker) and TAVRIK_SOURCE_DIR.
set -euo pipefail
feed="$(cd "$1" && pwd)"
version="$2"
# shellcheck source=scripts/lib.sh
source "$TAVRIK_SOURCE_DIR/scripts/lib.sh"
begin_private_run tavrik-nuget
fail() { echo "nuget_package_test: $*" >&2; exit 1; }

nupkg="$feed/Tavrik.Client.$version.nupkg"
[[ -f "$nupkg" ]] || fail "no $nupkg (scripts/pack-nuget.sh makes it)"
listing=$(unzip -Z1 "$nupkg")
for entry in Tavrik.Client.nuspec lib/netstandard2.0/Tavrik.Client.dll lib/netstandard2.0/Tavrik.Client.xml \
             runtimes/win-x64/native/tavrik-worker.exe runtimes/win-x64/native/tavrik-ctl.exe \
             build/Tavrik.Client.targets buildTransitive/Tavrik.Client.targets \
             LICENSE THIRD-PARTY-NOTICES.txt README.md; do
  grep -qx "$entry" <<<"$listing" || fail "$entry is not in the package: $listing"
done
for program in tavrik-worker.exe tavrik-ctl.exe; do
  unzip -p "$nupkg" "runtimes/win-x64/native/$program" >"$work/$program"
  [[ $(head -c 2 "$work/$program") == MZ ]] || fail "$program in the package is no Windows program"
done
nuspec=$(unzip -p "$nupkg" Tavrik.Client.nuspec)
for element in "<version>$version</version>" "<releaseNotes>Tavrik.Client $version" "<tags>"; do
  grep -qF "$element" <<<"$nuspec" || fail "the package's nuspec lacks $element"
done
unzip -p "$nupkg" lib/netstandard2.0/Tavrik.Client.xml | grep -q 'M:Tavrik.Client.TavrikWorker.Start' ||
  fail "the XML documentation does not document TavrikWorker.Start"

# A home of its own: NuGet keeps its caches and settings there, and finds no user's sources.
export HOME="$work/home"
mkdir -p "$HOME" "$work/app"
cp "$TAVRIK_SOURCE_DIR/clients/dotnet/consumer/OwnWorkerConsumer.cs" \
   "$TAVRIK_SOURCE_DIR/clients/dotnet/consumer/OwnWorkerConsumer.csproj" "$work/app/"
cat >"$work/app/packages.config" <<CONFIG
<?xml version="1.0" encoding="utf-8"?>
<packages>
  <package id="Tavrik.Client" version="$version" targetFramework="net472" />
</packages>
CONFIG
cd "$work/app"
nuget install packages.config -Source "$feed" -OutputDirectory packages -NonInteractive \
  >"$work/nuget.log" 2>&1 || { cat "$work/nuget.log" >&2; fail "nuget install"; }
xbuild /nologo /verbosity:quiet /p:TavrikVersion="$version" OwnWorkerConsumer.csproj \
  >"$work/xbuild.log" 2>&1 || { cat "$work/xbuild.log" >&2; fail "xbuild"; }
for program in OwnWorkerConsumer.exe Tavrik.Client.dll tavrik-worker.exe tavrik-ctl.exe; do
  [[ -f "bin/$program" ]] || fail "the build's output folder lacks $program: $(ls bin)"
done

# On Linux the program finds the Linux worker on the PATH (the .exe beside it is Windows's).
PATH="$TAVRIK_BUILD_DIR/bin:$PATH" mono bin/OwnWorkerConsumer.exe | tee "$work/app.out" ||
  fail "the consumer failed"
grep -qx "worker version: $version" "$work/app.out" || fail "no version reply"
