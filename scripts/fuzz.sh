#!/usr/bin/env bash
# Builds the fuzz preset (clang-16, libFuzzer, ASan + UBSan) and runs every harness for SECONDS
# (default 30), one after the other, starting from the seed corpus in fuzz/corpus/<harness>/.
# New inputs go to a scratch corpus outside the tree; a crash or a broken property stops with the
# input saved as build/fuzz/findings/<harness>/crash-*: add it to fuzz/corpus/<harness>/ once
# fixed, and ctest replays it from then on. Prints the executions of each harness.
# Usage: scripts/fuzz.sh [SECONDS] [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
harnesses=("$@")
if ((${#harnesses[@]} == 0)); then
  harnesses=(fuzz_command_slots fuzz_template_paths fuzz_text fuzz_image_decode fuzz_ctl_args
             fuzz_probe_args)
fi
scripts/deps.sh --fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 >/dev/null
ctest --preset fuzz --timeout 300  # the corpus replays

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
scratch=$(mktemp -d /tmp/tavrik-fuzz-corpus.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failed=0
for harness in "${harnesses[@]}"; do
  findings="build/fuzz/findings/$harness"
  mkdir -p "$scratch/$harness" "$findings"
  log="build/fuzz/findings/$harness.log"
  if ! "build/fuzz/fuzz/$harness" "$scratch/$harness" "fuzz/corpus/$harness" \
      -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/" >"$log" 2>&1; then
    echo "$harness: FAILED (see $log and $findings/)"
    tail -n 30 "$log"
    failed=1
    continue
  fi
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  echo "$harness: $runs executions in ${seconds}s, no crash"
done
exit "$failed"
