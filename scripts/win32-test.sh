#!/usr/bin/env bash
# Cross-builds the whole Win32 worker, tavrik-ctl and the Windows test programs with mingw-w64
# (preset win32) and runs the test suite under Wine on a private Xvfb display.
#
#   scripts/win32-test.sh [extra ctest arguments...]
#
# OpenCV and its image libraries for mingw come from scripts/win32-deps.sh (built once per machine, cached
# outside the clone). The tests share one Wine prefix (build/win32/wineprefix): the rings live in
# its "Local\" namespace, so every process of a test must run in the same prefix, and the tests
# run one at a time. One wineserver is kept running for the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --win32
prefix="$(scripts/win32-deps.sh)"
export TAVRIK_MINGW_DEPS_PREFIX="${prefix}"
scripts/fetch-fft-sources.sh >/dev/null  # pocketfft, the Win32 worker's transform

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)"

build="$PWD/build/win32"
unset TAVRIK_LOG TAVRIK_IPC_NAMESPACE
# shellcheck source=scripts/lib.sh
source scripts/lib.sh

xvfb_pid=""
cleanup() {
  wineserver -k 2>/dev/null || true
  if [[ -n "${xvfb_pid}" ]]; then kill "${xvfb_pid}" 2>/dev/null || true; wait "${xvfb_pid}" 2>/dev/null || true; fi
}
trap cleanup EXIT

# A private display on the first free number from 90.
display=90
while [[ -e "/tmp/.X11-unix/X${display}" || -e "/tmp/.X${display}-lock" ]]; do
  display=$((display + 1))
done
Xvfb ":${display}" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":${display}"
for _ in $(seq 200); do
  xdpyinfo >/dev/null 2>&1 && break
  kill -0 "${xvfb_pid}" 2>/dev/null || { echo "win32-test: Xvfb did not start" >&2; exit 1; }
  sleep 0.05
done
xdpyinfo >/dev/null 2>&1 || { echo "win32-test: Xvfb does not answer on ${DISPLAY}" >&2; exit 1; }

# One persistent wineserver for every process of the suite; the prefix is made on first use.
start_wine "${build}/wineprefix"

# A drive letter whose root is a scratch folder, for the test of a worker started from a drive root.
mkdir -p "${build}/drive-root"
ln -sfn "${build}/drive-root" "${WINEPREFIX}/dosdevices/t:"
export TAVRIK_TEST_ROOT_DRIVE="T:"

log="${build}/wine-tests.log"
status=0
ctest --preset win32 -V "$@" >"${log}" 2>&1 || status=$?
# The summary lines of ctest and of each GoogleTest program.
grep -E '^[0-9]+: \[  (PASSED|FAILED|SKIPPED) \]|^[0-9]+: \[  FAILED  \]|tests passed|Test +#|\*\*\*' "${log}" |
  sed -E 's/^[0-9]+: //' || true
cases=$(sed -nE 's/^[0-9]+: \[  PASSED  \] ([0-9]+) tests?\.$/\1/p' "${log}" | awk '{s += $1} END {print s + 0}')
echo "win32-test: ${cases} test cases passed under Wine (full log: ${log})"
# The display-scale test once more, in a Wine started at 144 DPI: Wine gives windows the
# LogPixels its desktop started with, so the value is written and the server started again first
# (TAVRIK_TEST_WINE_DPI makes a window at another DPI a failure there, not a skip).
set_log_pixels() {
  wineserver -k 2>/dev/null || true
  wine reg "$@" >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p
  wine wineboot --init >/dev/null 2>&1
}
set_log_pixels add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f
if GTEST_FILTER='WorkerWinScaledTest.*' TAVRIK_TEST_WINE_DPI=144 \
     ctest --preset win32 -V -R '^e2e_worker_win_test$' >>"${log}" 2>&1; then
  echo "win32-test: the display-scale test passed in a Wine started at 144 DPI"
else
  echo "win32-test: the display-scale test failed at 144 DPI (see ${log})" >&2
  status=1
fi
set_log_pixels delete 'HKCU\Control Panel\Desktop' /v LogPixels /f
# The speed benchmark once, briefly: it must run and find its window on the screen; its times
# mean nothing here (scripts/bench-speed-win.sh measures).
if wine "${build}/bench/bench_speed_win.exe" --quick >>"${log}" 2>&1; then
  echo "win32-test: bench_speed_win --quick ran under Wine"
else
  echo "win32-test: bench_speed_win --quick failed (see ${log})" >&2
  status=1
fi
# The Windows package: the static executables with the README, the protocol, the licence and the third-party
# notices, which carry a section for every component whose licence the deps prefix holds.
(cd "${build}" && rm -f tavrik-worker-*-win64.zip && cpack -G ZIP >/dev/null) || status=1
zip=$(ls "${build}"/tavrik-worker-*-win64.zip 2>/dev/null | head -n 1)
# The listing is read whole first: with pipefail, a grep -q that stops early fails unzip's pipe.
listing=$([[ -n "${zip}" ]] && unzip -l "${zip}" || true)
notices=$([[ -n "${zip}" ]] && unzip -p "${zip}" '*/THIRD-PARTY-NOTICES.txt' 2>/dev/null || true)
missing=()
for component in "${prefix}"/share/licenses/*/; do
  grep -qxF "$(basename "${component}")" <<<"${notices}" || missing+=("$(basename "${component}")")
done
if grep -q 'bin/tavrik-worker.exe' <<<"${listing}" && grep -q 'bin/tavrik-ctl.exe' <<<"${listing}" &&
   grep -q 'LICENSE' <<<"${listing}" && grep -q 'THIRD-PARTY-NOTICES.txt' <<<"${listing}" &&
   grep -q 'protocol.md' <<<"${listing}" && [[ ${#missing[@]} -eq 0 ]]; then
  echo "win32-test: package $(basename "${zip}")"
else
  echo "win32-test: the .zip package is missing or incomplete" \
    "${missing[*]:+(no notice for: ${missing[*]})}" >&2
  status=1
fi
exit "${status}"
