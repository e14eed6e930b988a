#!/usr/bin/env bash
# Builds and runs the whole test suite with one CMake preset (default: dev).
# Display tests start their own Xvfb, so no display is needed.
# Usage: scripts/test.sh [dev|ci|asan|tsan] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
shift || true
scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)" --timeout 300 "$@"
