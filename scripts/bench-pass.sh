#!/usr/bin/env bash
# Runs bench_pass rows with interleaved repetitions and prints the medians. With a second program
# (the same bench built from another tree, say the last release), the two run alternately, row by
# row, and the ratio of their median passes is printed: a comparison made in one run, under the
# same load.
# Usage: scripts/bench-pass.sh PROGRAM [BASELINE_PROGRAM]; ROWS, REPS (5), PASSES (5), THREADS.
set -euo pipefail
ours="$1"
base="${2:-}"
rows="${ROWS:-many-t2 many-grey ten-t2 hundred}"
args=(--passes "${PASSES:-5}" --threads "${THREADS:-0}")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for row in $rows; do
  for ((rep = 0; rep < ${REPS:-5}; ++rep)); do
    echo "ours $("$ours" "$row" "${args[@]}")" >>"$out"
    [[ -z "$base" ]] || echo "base $("$base" "$row" "${args[@]}")" >>"$out"
  done
done
python3 - "$out" <<'PY'
import json, statistics, sys
runs = {}
for line in open(sys.argv[1]):
    who, text = line.split(" ", 1)
    r = json.loads(text)
    runs.setdefault((r["row"], who), []).append(r)
keys = ["pass_ms", "cpu_ms", "faults", "prepared_per_pass", "kept", "rss_above_start_mib"]
for (row, who), rs in sorted(runs.items()):
    med = {k: statistics.median(r[k] for r in rs) for k in keys}
    line = f"{row:10} {who}: " + " ".join(f"{k}={med[k]:.4g}" for k in keys)
    base = runs.get((row, "base"))
    if who == "ours" and base:
        b = statistics.median(r["pass_ms"] for r in base)
        line += f"  ratio={med['pass_ms'] / b:.3f} (pass against the baseline)"
    print(line)
PY
