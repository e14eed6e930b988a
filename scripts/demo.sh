#!/usr/bin/env bash
# The worker's main job, end to end, on this machine:
#   a target window with known content, the worker, templates registered through the command ring,
#   and every decision streamed back through the hit ring while the target's content changes.
# Starts a virtual X display (Xvfb) when DISPLAY is unset. Cleans up everything it started.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target tavrik-worker tavrik-ctl tavrik-demo \
  >/dev/null
bin=build/dev
ctl="$bin/bin/tavrik-ctl"
begin_private_run tavrik-demo
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

if [[ -z "${DISPLAY:-}" ]]; then
  start_private_xvfb
  say "Started a virtual display $DISPLAY (Xvfb)"
fi

say "Target: tavrik-demo, a 480x320 window whose 'OK' badge is swapped every 3 s"
"$bin/bin/tavrik-demo" --write-templates "$work"
start_demo_target "$bin/bin/tavrik-demo" "$work" --x 120 --y 90 --toggle-ms 3000
echo "Template images cut from the target: $work/badge.png (72x48), $work/ring.png (64x64)"

say "Worker: tavrik-worker in IPC namespace $TAVRIK_IPC_NAMESPACE (diagnostic lines -> $work/worker.log)"
TAVRIK_LOG="$work/worker.log" "$bin/bin/tavrik-worker" &
pids+=($!)
wait_for_worker_rings

say "tavrik-ctl version   (a version request through the command ring, answered in the hit ring)"
"$ctl" version
say "tavrik-ctl heartbeat"
"$ctl" heartbeat

say "Registering two templates on the target process, ROI = the whole client area (0,0 480x320)"
"$ctl" add --name "badge:ok" --path "$work/badge.png" --process tavrik-demo.exe \
  --roi 0,0,480,320 --threshold 0.9 --cooldown-ms 500
"$ctl" add --name "t3:ring" --path "$work/ring.png" --process TAVRIK-DEMO \
  --roi 0,0,240,200 --threshold 0.9 --cooldown-ms 1000
echo "(the process name is matched case-insensitively, with or without .exe)"

say "tavrik-ctl watch --timeout 7: every decision as JSON (isHit 1 = hit; the badge flips every 3 s)"
echo "badge: expected at pos (300,200) relative to the client area; ring: at (60,50)"
"$ctl" watch --timeout 7 || true

say "The worker's own diagnostic lines for the same decisions (last 8)"
grep -E '^\[(Spec|Loop|HIT|MISS)\]' "$work/worker.log" | tail -n 8
echo
echo "A miss carries its reason: score<threshold while the badge is swapped out."
echo "tavrik-ctl status shows both ring headers:"
"$ctl" status
say "Removing the templates; the worker goes idle and sends __hb__:IDLE every 5 s"
"$ctl" remove "badge:ok"
"$ctl" clear
sleep 0.3
grep -E '^\[(Spec|Loop)\]' "$work/worker.log" | tail -n 3
say "Done: stopping the worker, the target and the display"
