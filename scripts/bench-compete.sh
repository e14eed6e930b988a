#!/usr/bin/env bash
# What a pass costs a competing busy process: the competitor's throughput (a single busy thread)
# alone, then beside passes of bench_pass (ROW, many-t2 by default) with the worker's pool, in
# interleaved repetitions; prints the medians and the competitor's loss. The pool's helpers run
# at idle priority, so the loss should stay within a few percent.
# Usage: scripts/bench-compete.sh PROGRAM; ROW, REPS (3), SECONDS_EACH (6).
set -euo pipefail
program="$1"
row="${ROW:-many-t2}"
each="${SECONDS_EACH:-6}"
busy() {  # iterations of a tight loop in `each` seconds
  python3 -c "
import time
end = time.perf_counter() + $each
n = 0
while time.perf_counter() < end:
    for _ in range(10000):
        n += 1
print(n)"
}
alone=()
beside=()
for ((rep = 0; rep < ${REPS:-3}; ++rep)); do
  alone+=("$(busy)")
  "$program" "$row" --passes 100000 >/dev/null &
  pid=$!
  sleep 2  # its templates prepared, its passes running
  beside+=("$(busy)")
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
done
python3 - "${alone[*]}" "${beside[*]}" <<'PY'
import statistics, sys
alone = statistics.median(map(int, sys.argv[1].split()))
beside = statistics.median(map(int, sys.argv[2].split()))
print(f"competitor alone: {alone:.4g} iterations; beside the passes: {beside:.4g}; "
      f"loss {100 * (1 - beside / alone):.1f}% (medians of {len(sys.argv[1].split())})")
PY
