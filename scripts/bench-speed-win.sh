#!/usr/bin/env bash
# Runs bench_speed_win (the Win32 worker's speed goals, each paired with its bare baseline in the
# same run) under Wine on a private Xvfb, with interleaved repetitions, and prints the medians.
# The screen is 1280x1024 like bench_speed's on Linux, so both lay out the same 100 rectangles.
# Build it first (scripts/win32-test.sh, or the win32 preset by hand).
# Usage: scripts/bench-speed-win.sh [bench_speed_win arguments]; default --reps 9.
set -euo pipefail
cd "$(dirname "$0")/.."
build="$PWD/build/win32"
bench="${build}/bench/bench_speed_win.exe"
[[ -f "$bench" ]] || { echo "bench-speed-win: build $bench first" >&2; exit 2; }
# shellcheck source=scripts/lib.sh
source scripts/lib.sh
begin_private_run bench-speed-win
# A prefix of its own: ending its wineserver must not touch a test run's.
on_exit() { wineserver -k 2>/dev/null || true; }
start_private_xvfb 1280x1024x24
start_wine "${build}/wineprefix-bench"
[[ $# -gt 0 ]] || set -- --reps 9
wine "$bench" "$@"
