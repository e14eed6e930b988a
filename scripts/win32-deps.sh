#!/usr/bin/env bash
# Builds the third-party libraries the Win32 worker links, for mingw-w64, and prints their prefix.
#
#   prefix=$(scripts/win32-deps.sh)      # build once per machine, then reuse
#
# Debian ships no OpenCV for mingw, so OpenCV (core, imgproc, imgcodecs) and the libpng it reads
# templates with are cross-built from Debian's own source packages, statically, against Debian's
# zlib for mingw (libz-mingw-w64-dev). The sources are fetched with a deb-src entry that exists
# only while apt-get downloads them.
#
# The install tree lives outside the clone, in ${TAVRIK_WIN32_DEPS_CACHE:-/var/cache/tavrik-win32-deps}
# (or ~/.cache/tavrik-win32-deps when that is not writable), under a key made of the source
# versions, the compiler version and a hash of the build steps below (their flags). A later run with
# the same key only prints the prefix; anything that changes the result changes the key.
# Progress goes to standard error; standard output carries only the prefix.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
toolchain="${root}/cmake/mingw-w64-x86_64.cmake"
jobs="${WIN32_DEPS_JOBS:-$(nproc)}"
log() { printf 'win32-deps: %s\n' "$*" >&2; }

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi

cache="${TAVRIK_WIN32_DEPS_CACHE:-/var/cache/tavrik-win32-deps}"
if ! mkdir -p "${cache}" 2>/dev/null || [[ ! -w "${cache}" ]]; then
  cache="${XDG_CACHE_HOME:-${HOME}/.cache}/tavrik-win32-deps"
  mkdir -p "${cache}"
fi

# Only the upstream tarballs are built (no Debian patches), so the upstream versions of the
# binary packages' candidates name the sources; the Debian revision may differ between mirrors.
upstream() {
  local v
  v="$(apt-cache policy "$1" | awk '/Candidate:/ {print $2}')"
  v="${v#*:}"
  echo "${v%-*}"
}
opencv_version="$(upstream libopencv-core-dev)"
png_version="$(upstream libpng-dev)"
zlib_version="$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)"
cxx_version="$(x86_64-w64-mingw32-g++-posix --version | head -n1)"
if [[ -z "${opencv_version}" || -z "${png_version}" ]]; then
  log "cannot tell the OpenCV/libpng source versions (apt-get update?)"
  exit 1
fi
# The flags: everything from the libpng step to the end of this file.
recipe_hash="$(sed -n '/^# --- libpng/,$p' "${BASH_SOURCE[0]}" | sha256sum | cut -c1-12)"
key="$(printf '%s|%s|%s|%s|%s' "${opencv_version}" "${png_version}" "${zlib_version}" \
  "${cxx_version}" "${recipe_hash}" | sha256sum | cut -c1-16)"
prefix="${cache}/opencv-${opencv_version%%+*}-${key}"

if [[ -f "${prefix}/.complete" ]]; then
  log "cached: ${prefix}"
  echo "${prefix}"
  exit 0
fi

# One build at a time per cache; a second caller waits and then finds the result.
exec 9>"${cache}/.lock"
flock 9
if [[ -f "${prefix}/.complete" ]]; then
  echo "${prefix}"
  exit 0
fi

log "building OpenCV ${opencv_version} and libpng ${png_version} for mingw-w64 into ${prefix}"
work="$(mktemp -d "${cache}/build.XXXXXX")"
src_list=/etc/apt/sources.list.d/tavrik-deb-src.sources
cleanup() {
  if [[ -f "${src_list}" ]]; then
    "${sudo_cmd[@]}" rm -f "${src_list}"
    "${sudo_cmd[@]}" apt-get update -qq >&2 || true
  fi
  rm -rf "${work}"
}
trap cleanup EXIT

# --- sources: a temporary deb-src twin of every deb stanza ----------------------------------
log "fetching sources"
main_list=/etc/apt/sources.list.d/debian.sources
if [[ -f "${main_list}" ]]; then
  sed -e 's/^Types:.*/Types: deb-src/' "${main_list}" | "${sudo_cmd[@]}" tee "${src_list}" >/dev/null
else
  # One-line format: mirror the deb lines of sources.list.
  {
    while read -r _ uri suite comps; do
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "${uri}" "${suite}" "${comps}"
    done < <(grep -h '^deb ' /etc/apt/sources.list | sed 's/\[[^]]*\] //')
  } | "${sudo_cmd[@]}" tee "${src_list}" >/dev/null
fi
"${sudo_cmd[@]}" apt-get update -qq >&2
# Any source version with the wanted upstream version will do; the newest that downloads wins.
fetch_source() {
  local package="$1" wanted="$2" version
  for version in $(apt-cache showsrc "${package}" | awk '/^Version:/ {print $2}' | sort -r -V -u); do
    local up="${version#*:}"
    [[ "${up%-*}" == "${wanted}" ]] || continue
    if (cd "${work}" && apt-get source -qq --download-only "${package}=${version}" >&2); then
      return 0
    fi
    log "${package} ${version} did not download; trying an older revision"
  done
  log "no downloadable source of ${package} ${wanted}"
  return 1
}
fetch_source opencv "${opencv_version}"
fetch_source libpng1.6 "${png_version}"
"${sudo_cmd[@]}" rm -f "${src_list}"
"${sudo_cmd[@]}" apt-get update -qq >&2

mkdir -p "${work}/src/opencv" "${work}/src/libpng"
tar -xf "$(ls "${work}"/opencv_*.orig.tar.*)" -C "${work}/src/opencv" --strip-components=1
tar -xf "$(ls "${work}"/libpng1.6_*.orig.tar.*)" -C "${work}/src/libpng" --strip-components=1

# Installed straight into the final prefix: OpenCV's exported targets name libpng by absolute
# path. The tree counts only once .complete exists; a half-built one is thrown away here.
staging="${prefix}"
rm -rf "${staging}"
mingw_root=/usr/x86_64-w64-mingw32
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="${toolchain}" -DTAVRIK_MINGW_DEPS_PREFIX="${staging}"
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="${staging}"
        -DZLIB_LIBRARY="${mingw_root}/lib/libz.a" -DZLIB_INCLUDE_DIR="${mingw_root}/include")

# --- libpng, static --------------------------------------------------------------------------
log "building libpng"
cmake -S "${work}/src/libpng" -B "${work}/build/libpng" "${common[@]}" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_FRAMEWORK=OFF \
  -DSKIP_INSTALL_PROGRAMS=ON -DSKIP_INSTALL_EXECUTABLES=ON -DSKIP_INSTALL_FILES=ON >&2
cmake --build "${work}/build/libpng" -j "${jobs}" >&2
cmake --install "${work}/build/libpng" >&2

# --- OpenCV: core, imgproc, imgcodecs (PNG only), static, nothing optional -----------------------
log "building OpenCV"
off_options=(IPP ITT OPENCL OPENCLAMDFFT OPENCLAMDBLAS OPENCL_SVM VA VA_INTEL EIGEN LAPACK PROTOBUF
             ADE FFMPEG GSTREAMER DSHOW MSMF MSMF_DXVA DIRECTX OPENCL_D3D11_NV VTK QT GTK WIN32UI
             JPEG TIFF WEBP OPENJPEG JASPER OPENEXR GDAL GDCM IMGCODEC_HDR IMGCODEC_SUNRASTER
             IMGCODEC_PXM IMGCODEC_PFM TBB OPENMP CUDA OPENVX HALIDE QUIRC CAROTENE 1394 V4L
             OBSENSOR VULKAN WEBNN TIMVX CANN ONNX)
off=()
for opt in "${off_options[@]}"; do
  off+=("-DWITH_${opt}=OFF")
done
cmake -S "${work}/src/opencv" -B "${work}/build/opencv" "${common[@]}" "${off[@]}" \
  -DBUILD_LIST=core,imgproc,imgcodecs -DBUILD_SHARED_LIBS=OFF -DWITH_PNG=ON -DBUILD_PNG=OFF \
  -DBUILD_ZLIB=OFF -DPNG_LIBRARY="${staging}/lib/libpng16.a" \
  -DPNG_PNG_INCLUDE_DIR="${staging}/include" -DENABLE_PRECOMPILED_HEADERS=OFF \
  -DCPU_DISPATCH= -DCV_TRACE=OFF -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF \
  -DBUILD_DOCS=OFF -DBUILD_opencv_apps=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF \
  -DBUILD_opencv_python2=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF -DINSTALL_C_EXAMPLES=OFF \
  -DOPENCV_ENABLE_NONFREE=OFF >&2
cmake --build "${work}/build/opencv" -j "${jobs}" >&2
cmake --install "${work}/build/opencv" >&2

printf 'opencv %s\nlibpng %s\nzlib %s\n%s\nrecipe %s\n' "${opencv_version}" "${png_version}" \
  "${zlib_version}" "${cxx_version}" "${recipe_hash}" > "${staging}/.complete"
log "done: ${prefix}"
echo "${prefix}"
