#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (the client libraries' too:
# Mono's C# compiler, NUnit and NuGet, Debian's pytest and the tools that build and install a
# wheel offline; lintian for the .deb packages), and the sources of the permissive FFT libraries
# (scripts/fetch-fft-sources.sh). Quick when all are present.
# Usage: scripts/deps.sh [--mingw] [--win32]
#   --mingw  adds the Win32 cross toolchain (enough for the IPC-only cross build)
#   --win32  adds the toolchain, zlib for mingw and Wine with its display: the full Win32 worker
#            build (scripts/win32-deps.sh builds OpenCV on top) and the test suite under Wine
#   --fuzz   adds clang 16 with libFuzzer and its sanitizer runtimes (the fuzz preset)
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config python3
          libopencv-dev libfftw3-dev libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
          libx11-dev libxcb1-dev libxcb-shm0-dev libxcb-res0-dev libxcb-damage0-dev libxcb-ewmh-dev libxcb-icccm4-dev
          xvfb x11-utils x11-apps xauth
          help2man dpkg-dev systemd lintian unzip
          mono-mcs mono-devel mono-xbuild nunit-console libnunit-cil-dev nuget
          python3-pytest python3-build python3-wheel python3-venv)
for arg in "$@"; do
  case "$arg" in
    --mingw) packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix) ;;
    --fuzz) packages+=(clang-16 libfuzzer-16-dev libclang-rt-16-dev) ;;
    --win32) packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
                        googletest wine wine64 unzip) ;;
    *) echo "deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# pocketfft and KISS FFT sources (no Debian library package), cached outside the clone, where
# CMake finds them; quick once cached.
"$(dirname "$0")/fetch-fft-sources.sh" >/dev/null
