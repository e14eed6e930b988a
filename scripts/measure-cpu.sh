#!/usr/bin/env bash
# Measures the worker's processor use, as % of one core, from /proc/<pid>/stat (utime + stime):
#   1. idle (no template registered) over SECONDS_PER_PHASE seconds;
#   2. with 10 templates (mixed kinds, 256x256 ROIs on the demo target) at cooldown 1000 ms over
#      SECONDS_PER_PHASE seconds, after they have been registered and evaluated once.
# Usage: scripts/measure-cpu.sh [preset] (default dev); SECONDS_PER_PHASE=60 by default.
# Starts its own Xvfb when DISPLAY is unset; uses a private IPC namespace.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
preset="${1:-dev}"
seconds="${SECONDS_PER_PHASE:-60}"
bin="build/${preset}/bin"
[[ -x "$bin/tavrik-worker" && -x "$bin/tavrik-ctl" && -x "$bin/tavrik-demo" ]] || {
  echo "measure-cpu: build the $preset preset first (tavrik-worker, tavrik-ctl, tavrik-demo)" >&2
  exit 2
}
begin_private_run tavrik-cpu

if [[ -z "${DISPLAY:-}" ]]; then start_private_xvfb 1280x1024x24; fi

"$bin/tavrik-demo" --write-templates "$work"
start_demo_target "$bin/tavrik-demo" "$work" --x 0 --y 0 --toggle-ms 3000

"$bin/tavrik-worker" &
worker=$!
pids+=("$worker")
wait_for_worker_rings

ticks() { awk '{print $14 + $15}' "/proc/$worker/stat"; }
hz=$(getconf CLK_TCK)
measure() {
  local before after
  before=$(ticks)
  sleep "$seconds"
  after=$(ticks)
  awk -v d="$((after - before))" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * d / hz / s }'
}

sleep 2
idle=$(measure)
echo "idle worker (no templates), ${seconds} s: ${idle} % of one core"

# Ten templates: five kinds twice, on 256x256 ROIs of the 480x320 target.
kinds=(general t1 t2 t3 icon)
for i in $(seq 0 9); do
  kind=${kinds[$((i % 5))]}
  image="$work/badge.png"
  (( i % 2 == 1 )) && image="$work/ring.png"
  x=$(( (i % 5) * 40 ))
  y=$(( (i / 5) * 60 ))
  "$bin/tavrik-ctl" add --name "$kind:cpu$i" --path "$image" --process tavrik-demo \
    --roi "$x,$y,256,256" --threshold 0.9 --cooldown-ms 1000 >/dev/null
done
sleep 3  # registered and evaluated at least once (spectra prepared)
busy=$(measure)
echo "worker with 10 templates at cooldown 1000 ms, ${seconds} s: ${busy} % of one core"
