#!/usr/bin/env bash
# Cross-builds the whole Win32 worker, tavrik-ctl and the Windows test programs with mingw-w64
# (preset win32) and runs the test suite under Wine on a private Xvfb display.
#
#   scripts/win32-test.sh [extra ctest arguments...]
#
# OpenCV and libpng for mingw come from scripts/win32-deps.sh (built once per machine, cached
# outside the clone). The tests share one Wine prefix (build/win32/wineprefix): the rings live in
# its "Local\" namespace, so every process of a test must run in the same prefix, and the tests
# run one at a time. One wineserver is kept running for the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --win32
prefix="$(scripts/win32-deps.sh)"
export TAVRIK_MINGW_DEPS_PREFIX="${prefix}"

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)"

build="$PWD/build/win32"
export WINEPREFIX="${build}/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset TAVRIK_LOG TAVRIK_IPC_NAMESPACE

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
mkdir -p "${WINEPREFIX}"
wineserver -p
if [[ ! -f "${WINEPREFIX}/system.reg" ]]; then
  echo "win32-test: creating the Wine prefix ${WINEPREFIX}"
fi
wine wineboot --init >/dev/null 2>&1

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
# The Windows package: the static executables with the README, the protocol and the licence.
(cd "${build}" && rm -f tavrik-worker-*-win64.zip && cpack -G ZIP >/dev/null) || status=1
zip=$(ls "${build}"/tavrik-worker-*-win64.zip 2>/dev/null | head -n 1)
# The listing is read whole first: with pipefail, a grep -q that stops early fails unzip's pipe.
listing=$([[ -n "${zip}" ]] && unzip -l "${zip}" || true)
if grep -q 'bin/tavrik-worker.exe' <<<"${listing}" && grep -q 'bin/tavrik-ctl.exe' <<<"${listing}" &&
   grep -q 'LICENSE' <<<"${listing}" && grep -q 'protocol.md' <<<"${listing}"; then
  echo "win32-test: package $(basename "${zip}")"
else
  echo "win32-test: the .zip package is missing or incomplete" >&2
  status=1
fi
exit "${status}"
