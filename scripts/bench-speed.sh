#!/usr/bin/env bash
# Runs bench_speed (the speed goals, each paired with its bare baseline in the same run) with
# interleaved repetitions and prints the medians. The machine may be shared and noisy: every
# ratio is computed per repetition from our path and its baseline, timed alternately in the same
# loop, and the median over the repetitions is reported.
# Usage: scripts/bench-speed.sh [preset] [extra benchmark arguments]; REPS=9 by default.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
shift || true
bench="build/${preset}/bench/bench_speed"
[[ -x "$bench" ]] || { echo "bench-speed: build $bench first" >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$bench" --benchmark_repetitions="${REPS:-9}" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json \
  "$@" >/dev/null
python3 - "$out" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
print(f"{'benchmark':34} {'ours':>12} {'bare':>12} {'ratio':>7}  other counters (medians of {data['benchmarks'][0].get('repetitions', '?')} repetitions)")
for b in data["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    name = b["run_name"]
    ours = next((b[k] for k in ("ours_us", "ours_ms") if k in b), None)
    bare = next((b[k] for k in ("bare_us", "bare_ms") if k in b), None)
    unit = "us" if "ours_us" in b else "ms"
    rest = {k: v for k, v in b.items()
            if k.endswith(("_allocs", "_cpu_ms", "cpu_ratio", "kept", "prepared_per_pass"))}
    fmt = lambda v: "" if v is None else f"{v:.3g} {unit}"
    ratio = f"{b['ratio']:.3f}" if "ratio" in b else ""
    extra = " ".join(f"{k}={v:.3g}" for k, v in rest.items())
    print(f"{name:34} {fmt(ours):>12} {fmt(bare):>12} {ratio:>7}  {extra}")
PY
