#!/usr/bin/env bash
# Packs the full Tavrik.Client NuGet package, the one a C# application on Windows takes: the
# client library with its XML documentation, the static Win32 tavrik-worker.exe and tavrik-ctl.exe
# (runtimes/win-x64/native), the targets file that copies them beside the application, the
# licence, the third-party notices and the README. Writes build/nuget/Tavrik.Client.<version>.nupkg.
#
#   scripts/pack-nuget.sh
#
# Works from a fresh clone: the Win32 programs are built or brought up to date (preset win32,
# configured with the dependencies cached by scripts/win32-deps.sh when build/win32 has no build
# yet), and the library is compiled with mcs as the CMake build does. THIRD-PARTY-NOTICES.txt is taken from build/win32, where the win32
# build generates it. TAVRIK_PROJECT_URL, when set, becomes the package's projectUrl.
# (The Linux build's own package, build/<preset>/clients/dotnet/feed, holds the library only.)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
fail() { echo "pack-nuget: $*" >&2; exit 1; }

version=$(sed -nE 's/^project\(tavrik-worker VERSION ([0-9.]+) .*/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || fail "no version in CMakeLists.txt"
win32="$root/build/win32"
programs=("$win32/bin/tavrik-worker.exe" "$win32/bin/tavrik-ctl.exe")

# Built (or brought up to date) every time: a package must never carry programs older than
# their sources.
if [[ ! -f "$win32/CMakeCache.txt" ]]; then
  echo "pack-nuget: configuring the Win32 build (preset win32)" >&2
  scripts/deps.sh --win32
  TAVRIK_MINGW_DEPS_PREFIX="$(scripts/win32-deps.sh)"
  export TAVRIK_MINGW_DEPS_PREFIX
  cmake --preset win32 >/dev/null
fi
cmake --build --preset win32 -j "${TAVRIK_PACK_JOBS:-2}" --target tavrik-worker tavrik-ctl third_party_notices >&2
for program in "${programs[@]}"; do [[ -f "$program" ]] || fail "the win32 build made no $program"; done
notices="$win32/THIRD-PARTY-NOTICES.txt"
[[ -f "$notices" ]] ||
  fail "$notices is missing: the win32 build generates it (configure and build the win32 preset)"

stage="$root/build/nuget/stage"
rm -rf "$stage"
mkdir -p "$stage" "$root/build/nuget/home"
# The flags of clients/CMakeLists.txt: C# 7.2, warnings as errors, the XML documentation.
mcs -nologo -langversion:7.2 -unsafe -warn:4 -warnaserror -debug -target:library \
  -out:"$stage/Tavrik.Client.dll" -doc:"$stage/Tavrik.Client.xml" clients/dotnet/src/Tavrik.Client/*.cs
cp "${programs[@]}" "$notices" LICENSE clients/dotnet/Tavrik.Client.targets "$stage/"
cp clients/dotnet/README.md "$stage/README.md"

worker_files=''
for file in tavrik-worker.exe tavrik-ctl.exe; do
  worker_files+="\n    <file src=\"$file\" target=\"runtimes/win-x64/native\" />"
done
for folder in build buildTransitive; do
  worker_files+="\n    <file src=\"Tavrik.Client.targets\" target=\"$folder\" />"
done
worker_files+="\n    <file src=\"THIRD-PARTY-NOTICES.txt\" target=\"THIRD-PARTY-NOTICES.txt\" />"
project_url=''
if [[ -n "${TAVRIK_PROJECT_URL:-}" ]]; then
  project_url="\n    <projectUrl>${TAVRIK_PROJECT_URL}</projectUrl>"
else
  echo "pack-nuget: TAVRIK_PROJECT_URL is not set; the package has no projectUrl" >&2
fi
contents="This package also carries the static Win32 tavrik-worker.exe and tavrik-ctl.exe (runtimes/win-x64/native), copied beside the application by its targets file."
sed -e "s|@PROJECT_VERSION@|$version|g" -e "s|@TAVRIK_NUGET_CONTENTS@|$contents|g" \
    -e "s|@TAVRIK_NUGET_PROJECT_URL@|$project_url|" -e "s|@TAVRIK_NUGET_WORKER_FILES@|$worker_files|" \
    clients/dotnet/Tavrik.Client.nuspec.in >"$stage/Tavrik.Client.nuspec"

# NuGet 2.8 does not know the netstandard2.0 and buildTransitive folder names and would warn; its
# home is the build tree, so that packing reads and writes no user's settings.
rm -f "$root/build/nuget/Tavrik.Client.$version.nupkg"
HOME="$root/build/nuget/home" nuget pack "$stage/Tavrik.Client.nuspec" \
  -OutputDirectory "$root/build/nuget" -NoPackageAnalysis -NonInteractive -Verbosity quiet
echo "pack-nuget: build/nuget/Tavrik.Client.$version.nupkg"
