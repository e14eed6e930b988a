#!/usr/bin/env bash
# Soak: the worker against a real X client for MINUTES (default 30) while 50 templates churn.
#
# A private Xvfb (the server picks a free display) shows tavrik-demo; the worker runs in a private
# IPC namespace. Every 100 ms one command goes out through tavrik-ctl: a template added, replaced
# (added again with another region, 64 to 400 pixels a side, and cooldown) or removed, now and
# then a clear, and some adds of a missing file, a directory and a FIFO. Every SOAK_SAMPLE_S
# seconds (default 30) the worker's resident memory, open descriptors, mapped shared-memory
# objects, SysV segments and X resources are sampled. At the end the series is printed with the
# slope of each column (per minute), and the run fails when the worker died, stopped answering,
# or grew beyond the bounds below:
#   RSS          SOAK_MAX_RSS_GROWTH_KIB (default 16384: 16 MiB), measured with no template
#                registered (after a clear), once when the first sample is taken and once at the
#                end: while templates churn, their prepared data (spectra, the previous capture)
#                come and go with the number registered, so the series itself rises and falls
#   descriptors, shared-memory objects, SysV segments, X resources: 2 each, first sample to last
#
# Usage: scripts/soak.sh [MINUTES]    (builds the dev preset, or SOAK_PRESET, first)
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
cd "$(dirname "$0")/.."
minutes="${1:-30}"
preset="${SOAK_PRESET:-dev}"
sample_s="${SOAK_SAMPLE_S:-30}"
max_rss_growth="${SOAK_MAX_RSS_GROWTH_KIB:-16384}"
max_count_growth=2

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target tavrik-worker tavrik-ctl tavrik-demo \
  tavrik-x-resources >/dev/null

begin_private_run tavrik-soak
# Copies, so that a rebuild during a long run does not swap programs under it.
bin="$work/bin"
mkdir -p "$bin"
for program in tavrik-worker tavrik-ctl tavrik-demo tavrik-x-resources; do
  cp "build/$preset/bin/$program" "$bin/"
done

start_private_xvfb 1280x1024x24

templates="$work/templates"
mkdir -p "$templates/dir.png"
mkfifo "$templates/fifo.png"
"$bin/tavrik-demo" --write-templates "$templates"
coproc DEMO { exec "$bin/tavrik-demo" --x 100 --y 60 --toggle-ms 700; }
pids+=("$DEMO_PID")
read -r -t 10 -u "${DEMO[0]}" ready && [[ "$ready" == ready ]] || { echo "soak: no demo" >&2; exit 1; }

unset TAVRIK_LOG  # lines are composed and discarded, as in a deployment
"$bin/tavrik-worker" &
worker=$!
pids+=("$worker")
ctl() { "$bin/tavrik-ctl" "$@" --timeout 5 >/dev/null 2>&1; }
# Nobody reads the hit ring here: a heartbeat drains it to make room for its reply.
alive() { ctl heartbeat --drain; }
for _ in $(seq 50); do alive && break; sleep 0.2; done

# Resident memory with nothing registered, once the churn in flight has ended.
settled_rss() {
  local job
  for job in "${churn[@]}"; do wait "$job" 2>/dev/null || true; done
  churn=()
  ctl clear
  alive
  sleep 1
  awk '/^VmRSS:/ {print $2}' "/proc/$worker/status"
}

# One sample: rss_kib fds shm sysv xres
sample() {
  local rss fds shm sysv xres
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$worker/status")
  fds=$(ls "/proc/$worker/fd" | wc -l)
  shm=$(awk '$6 ~ /^\/dev\/shm\// {print $6}' "/proc/$worker/maps" | sort -u | wc -l)
  sysv=$(awk '$6 ~ /^\/SYSV/ {print $6}' "/proc/$worker/maps" | sort -u | wc -l)
  # Every resource of the worker's connections: the X-Resource extension knows their process.
  xres=$("$bin/tavrik-x-resources" "$worker" || echo 0)
  echo "$rss $fds $shm $sysv $xres"
}

churn_step() {
  local i=$((RANDOM % 50)) roll=$((RANDOM % 100))
  local name="soak$i"
  if ((roll < 50)); then
    # Regions of random sizes from 64 to 400 pixels a side: every size prepares and keeps its own
    # spectra and buffers, which must go again with the template.
    local file=ring.png roi="$((RANDOM % 100)),$((RANDOM % 80)),$((64 + RANDOM % 337)),$((64 + RANDOM % 337))"
    ((i % 2)) && file=badge.png
    ctl add --name "$name" --path "$templates/$file" --process tavrik-demo --roi "$roi" \
      --cooldown-ms "$((100 + RANDOM % 900))"
  elif ((roll < 65)); then
    local bad=(missing.png dir.png fifo.png)
    ctl add --name "$name" --path "$templates/${bad[RANDOM % 3]}" --roi 0,0,64,64
  elif ((roll < 99)); then
    ctl remove "$name"
  else
    ctl clear
  fi
}

series="$work/series"
start=$(date +%s)
end=$((start + minutes * 60))
next_sample=$((start + sample_s))  # the first sample once the churn has warmed up
steps=0
churn=()
printf '%8s %10s %6s %6s %6s %6s\n' seconds rss_kib fds shm sysv xres
while :; do
  now=$(date +%s)
  if ((now >= next_sample)); then
    kill -0 "$worker" 2>/dev/null || { echo "soak: the worker died" >&2; exit 1; }
    row="$((now - start)) $(sample)"
    echo "$row" >>"$series"
    printf '%8s %10s %6s %6s %6s %6s\n' $row
    if [[ -z "${rss_before:-}" ]]; then
      rss_before=$(settled_rss)
      echo "rss with no template registered after warming up: $rss_before KiB"
    fi
    next_sample=$((next_sample + sample_s))
  fi
  ((now >= end)) && break
  # One command every 100 ms, whatever one tavrik-ctl takes; at most four in flight (their
  # producer lock puts them in order).
  churn_step &
  churn+=($!)
  steps=$((steps + 1))
  while ((${#churn[@]} >= 4)); do
    wait "${churn[0]}" 2>/dev/null || true
    churn=("${churn[@]:1}")
  done
  sleep 0.1
done

alive || { echo "soak: the worker no longer answers" >&2; exit 1; }
echo "commands sent: $steps"
rss_after=$(settled_rss)
echo "rss with no template registered at the end: $rss_after KiB (growth $((rss_after - rss_before)) KiB, bound $max_rss_growth)"
rss_failed=0
((rss_after - rss_before > max_rss_growth)) && rss_failed=1
awk -v max_count="$max_count_growth" '
  { n++; for (c = 1; c <= 6; c++) v[n, c] = $c }
  END {
    split("seconds rss_kib fds shm sysv xres", name, " ")
    sx = 0; sxx = 0
    for (i = 1; i <= n; i++) { sx += v[i, 1] / 60; sxx += (v[i, 1] / 60) ^ 2 }
    failed = 0
    for (c = 2; c <= 6; c++) {
      sy = 0; sxy = 0
      for (i = 1; i <= n; i++) { sy += v[i, c]; sxy += v[i, 1] / 60 * v[i, c] }
      d = n * sxx - sx * sx
      slope = d > 0 ? (n * sxy - sx * sy) / d : 0
      growth = v[n, c] - v[1, c]
      if (c == 2) {  # judged on the settled values above; the series is shown for its shape
        printf "%-8s first=%-9s last=%-9s growth=%-8s slope=%.2f/min\n",
               name[c], v[1, c], v[n, c], growth, slope
        continue
      }
      verdict = growth > max_count ? "FAIL" : "ok"
      if (growth > max_count) failed = 1
      printf "%-8s first=%-9s last=%-9s growth=%-8s slope=%.2f/min bound=%s %s\n",
             name[c], v[1, c], v[n, c], growth, slope, max_count, verdict
    }
    exit failed
  }' "$series" || exit 1
exit "$rss_failed"
