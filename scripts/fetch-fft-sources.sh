#!/usr/bin/env bash
# Fetches the permissively licensed FFT sources the matcher can build with, from Debian's source
# packages, and prints the directory that holds them.
#
#   dir=$(scripts/fetch-fft-sources.sh)
#   cmake ... -DTAVRIK_FFT_SOURCES_DIR="${dir}"     # finds ${dir}/pocketfft and ${dir}/kissfft
#
# pocketfft (BSD-3): the header pocketfft_hdronly.hpp and its LICENSE.md, from the scipy source
# package, or where that cannot be downloaded the same header from the python3-pythran package. KISS FFT (BSD-3): its C sources, from the kissfft source package; only the transform
# transform can build it, in double precision. Nothing is copied into the clone: the files live in
# ${TAVRIK_THIRD_PARTY_CACHE:-/var/cache/tavrik-third-party} (or ~/.cache/tavrik-third-party when
# that is not writable), one folder per library named by its source version, so a later run only
# prints the folder that links them. A library whose source package cannot be downloaded is left
# out (and not asked for again for a day); the build then uses the transforms it has. The sources are fetched with a deb-src entry that exists only while apt-get downloads
# them. Progress goes to standard error; standard output carries only the directory.
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

log() { printf 'fetch-fft-sources: %s\n' "$*" >&2; }

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
# Other scripts may be updating the package lists at the same time.
apt_opts=(-o DPkg::Lock::Timeout=300)

cache="${TAVRIK_THIRD_PARTY_CACHE:-/var/cache/tavrik-third-party}"
if ! mkdir -p "${cache}" 2>/dev/null || [[ ! -w "${cache}" ]]; then
  cache="${XDG_CACHE_HOME:-${HOME}/.cache}/tavrik-third-party"
  mkdir -p "${cache}"
fi

# The binary packages' candidates name the source versions (Debian builds both from them).
candidate() { apt-cache policy "$1" | awk '/Candidate:/ {print $2}'; }
scipy_version="$(candidate python3-scipy)"
pythran_version="$(candidate python3-pythran)"
kissfft_version="$(candidate libkissfft-float131)"
if [[ -z "${kissfft_version}" || "${kissfft_version}" == "(none)" ]]; then
  log "cannot tell the kissfft source version (apt-get update?)"
  exit 1
fi
key() { echo "${1//[:~]/_}"; }
kiss_dir="${cache}/kissfft-$(key "${kissfft_version}")"
pocket_dir=""
if [[ -n "${scipy_version}" && "${scipy_version}" != "(none)" ]]; then
  pocket_dir="${cache}/pocketfft-scipy-$(key "${scipy_version}")-pythran-$(key "${pythran_version}")"
fi
# The printed folder names both libraries; one that could not be fetched is simply absent.
out="${cache}/fft-sources"

have() { [[ -f "$1/.complete" ]]; }
link_and_print() {
  mkdir -p "${out}"
  ln -sfn "${kiss_dir}" "${out}/kissfft"
  if [[ -n "${pocket_dir}" ]] && have "${pocket_dir}"; then
    ln -sfn "${pocket_dir}" "${out}/pocketfft"
  else
    rm -f "${out}/pocketfft"
  fi
  echo "${out}"
}

# A source that failed to download is tried again at most once a day.
recently_failed() { [[ -n "$(find "$1.failed" -mmin -1440 2>/dev/null)" ]]; }
wanted=()
have "${kiss_dir}" || wanted+=("kissfft=${kissfft_version}")
if [[ -n "${pocket_dir}" ]] && ! have "${pocket_dir}" && ! recently_failed "${pocket_dir}"; then
  wanted+=("scipy=${scipy_version}")
fi
if ((${#wanted[@]} == 0)); then
  link_and_print
  exit 0
fi

exec 9>"${cache}/.lock"
flock 9

work="$(mktemp -d "${cache}/fetch.XXXXXX")"
# Not the name scripts/win32-deps.sh uses: both may run at once.
src_list=/etc/apt/sources.list.d/tavrik-fft-src.sources
cleanup() {
  if [[ -f "${src_list}" ]]; then
    "${sudo_cmd[@]}" rm -f "${src_list}"
    "${sudo_cmd[@]}" apt-get "${apt_opts[@]}" update -qq >&2 || true
  fi
  rm -rf "${work}"
}
trap cleanup EXIT

deb_src_twin | "${sudo_cmd[@]}" tee "${src_list}" >/dev/null
"${sudo_cmd[@]}" apt-get "${apt_opts[@]}" update -qq >&2

# Only the files the build needs come out of a tarball, flat into `dest`.
extract() {  # tarball, destination, member pattern (extended regex)
  local tarball="$1" dest="$2" pattern="$3" members m
  members="$(tar -tf "${tarball}" | grep -E "${pattern}" || true)"
  [[ -n "${members}" ]] || { log "nothing matching ${pattern} in $(basename "${tarball}")"; return 1; }
  # shellcheck disable=SC2086
  tar -xf "${tarball}" -C "${work}" ${members}
  mkdir -p "${dest}"
  for m in ${members}; do
    if [[ -f "${work}/${m}" ]]; then cp "${work}/${m}" "${dest}/"; fi
  done
}
# Downloads package=version into its own folder and extracts the wanted files into `dir`.
fetch() {  # package=version, dir, member pattern, files that must be there...
  local spec="$1" dir="$2" pattern="$3" name="${1%%=*}" f
  shift 3
  mkdir -p "${work}/${name}"
  log "fetching the ${spec} source package"
  if ! (cd "${work}/${name}" && apt-get source -qq --download-only "${spec}" >&2); then
    log "${spec} could not be downloaded"
    return 1
  fi
  rm -rf "${dir}.partial"
  local tarball
  # Some packages split the upstream sources over several tarballs (git submodules).
  local found=0
  for tarball in "${work}/${name}/${name}"_*.orig*.tar.*; do
    extract "${tarball}" "${dir}.partial" "${pattern}" 2>/dev/null && found=1
  done
  ((found)) || { log "nothing matching ${pattern} in ${spec}"; return 1; }
  for f in "$@"; do
    [[ -f "${dir}.partial/${f}" ]] || { log "${f} is missing from ${spec}"; return 1; }
  done
  echo "${spec}" > "${dir}.partial/.complete"
  rm -rf "${dir}"
  mv "${dir}.partial" "${dir}"
}

if ! have "${kiss_dir}"; then
  fetch "kissfft=${kissfft_version}" "${kiss_dir}" \
    '^[^/]+/((kiss_fft|kiss_fftr|_kiss_fft_guts|kiss_fft_log)\.[ch]|COPYING|LICENSES/BSD-3-Clause)$' \
    kiss_fft.c kiss_fftr.c kiss_fft.h kiss_fftr.h _kiss_fft_guts.h BSD-3-Clause ||
    { log "KISS FFT is required"; exit 1; }
fi
# pythran's binary package carries the same header (as pocketfft.hpp, under its own extra include
# guard); its licence is the header's opening comment.
fetch_pythran() {  # dir
  local dir="$1" deb header
  mkdir -p "${work}/pythran"
  log "fetching pocketfft from the python3-pythran=${pythran_version} package"
  (cd "${work}/pythran" && apt-get download -qq "python3-pythran=${pythran_version}" >&2) || return 1
  deb="$(ls "${work}"/pythran/python3-pythran_*.deb | head -n1)"
  dpkg-deb -x "${deb}" "${work}/pythran/root"
  header="$(find "${work}/pythran/root" -path '*/numpy/fft/pocketfft.hpp' | head -n1)"
  [[ -n "${header}" ]] || { log "no pocketfft.hpp in ${deb}"; return 1; }
  rm -rf "${dir}.partial"
  mkdir -p "${dir}.partial"
  cp "${header}" "${dir}.partial/pocketfft_hdronly.hpp"
  sed -n '1,/\*\//p' "${header}" | sed -e '1s|^/\*||' -e '$s|\*/$||' > "${dir}.partial/LICENSE.md"
  grep -q 'Redistribution and use' "${dir}.partial/LICENSE.md" || { log "no licence in ${header}"; return 1; }
  echo "python3-pythran=${pythran_version}" > "${dir}.partial/.complete"
  rm -rf "${dir}"
  mv "${dir}.partial" "${dir}"
}
if [[ -n "${pocket_dir}" ]] && ! have "${pocket_dir}" && ! recently_failed "${pocket_dir}"; then
  if fetch "scipy=${scipy_version}" "${pocket_dir}" '/pocketfft/(pocketfft_hdronly\.hpp|LICENSE\.md)$' \
       pocketfft_hdronly.hpp LICENSE.md; then
    rm -f "${pocket_dir}.failed"
  elif [[ -n "${pythran_version}" && "${pythran_version}" != "(none)" ]] && fetch_pythran "${pocket_dir}"; then
    rm -f "${pocket_dir}.failed"
  else
    touch "${pocket_dir}.failed"
    log "pocketfft is not available; builds fall back to another transform"
  fi
fi
link_and_print
