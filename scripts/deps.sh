#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Quick when all are present.
# Usage: scripts/deps.sh [--mingw]   (--mingw adds the Win32 cross toolchain)
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config python3
          libopencv-dev libgtest-dev libgmock-dev libbenchmark-dev
          libx11-dev libxcb1-dev libxcb-shm0-dev libxcb-res0-dev libxcb-ewmh-dev libxcb-icccm4-dev
          xvfb x11-utils x11-apps xauth)
if [[ "${1:-}" == "--mingw" ]]; then
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then exit 0; fi
echo "Installing: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
