#!/usr/bin/env bash
# Cross-compiles the Win32 ring/IPC layer and tavrik-ctl with mingw-w64 (warnings are errors), so
# that the Windows backends keep building on a Linux machine. No OpenCV is needed.
#   scripts/mingw-check.sh            configure and build in build/mingw-ipc
#   scripts/mingw-check.sh --fresh    start from an empty build directory
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "${root}"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  echo "mingw-check: x86_64-w64-mingw32-g++-posix not found (apt-get install g++-mingw-w64-x86-64-posix)" >&2
  exit 1
fi

if [[ "${1:-}" == "--fresh" ]]; then
  rm -rf build/mingw-ipc
fi

cmake --preset mingw-ipc
cmake --build --preset mingw-ipc -j"${MINGW_CHECK_JOBS:-2}"

exe="build/mingw-ipc/bin/tavrik-ctl.exe"
if [[ ! -f "${exe}" ]]; then
  echo "mingw-check: ${exe} was not produced" >&2
  exit 1
fi
echo "mingw-check: OK (${exe})"
