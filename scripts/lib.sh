# Shared by the scripts that need a display: sourced, not run.
#
#   start_private_xvfb [WxHxD]   starts Xvfb on a display the server picks itself (no race with
#                                other servers), exports DISPLAY, appends its pid to `pids`.
#   start_demo_target BIN DIR ARGS...
#                                starts BIN (tavrik-demo) with ARGS, waits for its "ready" line
#                                (kept in DIR/target.out), appends its pid to `pids`.
#   begin_private_run NAME       a scratch folder in `work`, the IPC namespace NAME-<pid>, an empty
#                                `pids`, and an EXIT trap that stops those processes, runs the
#                                caller's `on_exit` when it defines one, and removes the
#                                namespace's objects and the scratch folder.
#   wait_for_worker_rings        waits up to 5 s for the worker to create its hit ring.
#   deb_src_twin                 prints a deb-src twin of every deb source of apt, for a
#                                temporary entry that lets apt-get fetch Debian's source packages.
#   start_wine PREFIX            Wine for the Win32 programs on the current DISPLAY: the 64-bit
#                                prefix PREFIX (made on first use), quiet, without Mono or Gecko,
#                                with one persistent wineserver; `wineserver -k` ends it.

begin_private_run() {
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  export TAVRIK_IPC_NAMESPACE="$1-$$"
  pids=()
  trap end_private_run EXIT
}

end_private_run() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if declare -F on_exit >/dev/null; then on_exit || true; fi
  rm -f "/dev/shm/$TAVRIK_IPC_NAMESPACE-"* "/dev/shm/sem.$TAVRIK_IPC_NAMESPACE-"* 2>/dev/null || true
  rm -rf "$work"
}

wait_for_worker_rings() {
  for _ in $(seq 100); do [[ -e "/dev/shm/$TAVRIK_IPC_NAMESPACE-HitRingMMF" ]] && return 0; sleep 0.05; done
}

start_private_xvfb() {
  local geometry="${1:-1024x768x24}" fifo number
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  exec {xvfb_fd}<>"$fifo"
  rm -f "$fifo"
  Xvfb -displayfd "$xvfb_fd" -screen 0 "$geometry" -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  if ! read -r -t 10 -u "$xvfb_fd" number; then
    echo "$(basename "$0"): Xvfb did not start" >&2
    return 1
  fi
  exec {xvfb_fd}<&-
  export DISPLAY=":$number"
}

start_demo_target() {
  local bin="$1" dir="$2"
  shift 2
  "$bin" "$@" >"$dir/target.out" &
  pids+=($!)
  for _ in $(seq 200); do grep -q ready "$dir/target.out" 2>/dev/null && return 0; sleep 0.05; done
  echo "$(basename "$0"): the demo target did not start" >&2
  return 1
}

start_wine() {
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEARCH=win64
  # No Mono or Gecko: nothing here needs them, and their installers would ask.
  export WINEDLLOVERRIDES="mscoree=;mshtml="
  mkdir -p "$WINEPREFIX"
  wineserver -p
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "$(basename "$0"): creating the Wine prefix $WINEPREFIX"
  fi
  wine wineboot --init >/dev/null 2>&1
}

deb_src_twin() {
  local main_list=/etc/apt/sources.list.d/debian.sources _ uri suite comps
  if [[ -f "${main_list}" ]]; then
    sed -e 's/^Types:.*/Types: deb-src/' "${main_list}"
    return
  fi
  # One-line format: mirror the deb lines of sources.list.
  while read -r _ uri suite comps; do
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "${uri}" "${suite}" "${comps}"
  done < <(grep -h '^deb ' /etc/apt/sources.list | sed 's/\[[^]]*\] //')
}
