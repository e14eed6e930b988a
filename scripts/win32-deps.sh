#!/usr/bin/env bash
# Builds the third-party libraries the Win32 worker links, for mingw-w64, and prints their prefix.
#
#   prefix=$(scripts/win32-deps.sh)      # build once per machine, then reuse
#
# Debian ships no OpenCV for mingw, so OpenCV (core, imgproc, imgcodecs) and the image libraries it
# reads templates with (libpng, libjpeg-turbo, libtiff) are cross-built from Debian's own source
# packages, statically, against Debian's zlib for mingw (libz-mingw-w64-dev); the Win32 worker then
# reads the same formats as the Linux one (PNG, BMP, JPEG, TIFF, PNM). The sources are fetched with a
# deb-src entry that exists only while apt-get downloads them. Each component's licence text is
# installed under share/licenses/<component>/ so the build can assemble the third-party notices.
#
# The install tree lives outside the clone, in ${TAVRIK_WIN32_DEPS_CACHE:-/var/cache/tavrik-win32-deps}
# (or ~/.cache/tavrik-win32-deps when that is not writable), under a key made of the source
# versions, the compiler version and a hash of the build steps below (their flags). A later run with
# the same key only prints the prefix; anything that changes the result changes the key.
# Progress goes to standard error; standard output carries only the prefix.
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

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
jpeg_version="$(upstream libjpeg62-turbo-dev)"
tiff_version="$(upstream libtiff-dev)"
zlib_version="$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)"
cxx_version="$(x86_64-w64-mingw32-g++-posix --version | head -n1)"
if [[ -z "${opencv_version}" || -z "${png_version}" || -z "${jpeg_version}" || -z "${tiff_version}" ]]
then
  log "cannot tell the OpenCV/libpng/libjpeg-turbo/libtiff source versions (apt-get update?)"
  exit 1
fi
# The flags: everything from the build steps' shared settings to the end of this file.
recipe_hash="$(sed -n '/^# --- build steps/,$p' "${BASH_SOURCE[0]}" | sha256sum | cut -c1-12)"
key="$(printf '%s|%s|%s|%s|%s|%s|%s' "${opencv_version}" "${png_version}" "${jpeg_version}" \
  "${tiff_version}" "${zlib_version}" "${cxx_version}" "${recipe_hash}" | sha256sum | cut -c1-16)"
prefix="${cache}/opencv-${opencv_version%%+*}-${key}"

if [[ -f "${prefix}/.complete" ]]; then
  log "cached: ${prefix}"
  echo "${prefix}"
  exit 0
fi

# One build at a time per key; a second caller waits and then finds the result. Builds of
# different keys (another checkout's recipe) do not wait for each other.
exec 9>"${prefix}.lock"
flock 9
if [[ -f "${prefix}/.complete" ]]; then
  echo "${prefix}"
  exit 0
fi

log "building OpenCV ${opencv_version}, libpng ${png_version}, libjpeg-turbo ${jpeg_version} and" \
  "libtiff ${tiff_version} for mingw-w64 into ${prefix}"
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
deb_src_twin | "${sudo_cmd[@]}" tee "${src_list}" >/dev/null
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
fetch_source libjpeg-turbo "${jpeg_version}"
fetch_source tiff "${tiff_version}"
"${sudo_cmd[@]}" rm -f "${src_list}"
"${sudo_cmd[@]}" apt-get update -qq >&2

unpack() {
  mkdir -p "${work}/src/$1"
  local tarball
  tarball="$(ls "${work}"/$2_*.orig.tar.* | grep -v '\.asc$' | head -n1)"
  tar -xf "${tarball}" -C "${work}/src/$1" --strip-components=1
}
unpack opencv opencv
unpack libpng libpng1.6
unpack libjpeg-turbo libjpeg-turbo
unpack libtiff tiff

# --- build steps ------------------------------------------------------------------------------
# Installed straight into the final prefix: OpenCV's exported targets name libpng by absolute
# path. The tree counts only once .complete exists; a half-built one is thrown away here.
staging="${prefix}"
rm -rf "${staging}"
mingw_root=/usr/x86_64-w64-mingw32
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="${toolchain}" -DTAVRIK_MINGW_DEPS_PREFIX="${staging}"
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="${staging}"
        -DZLIB_LIBRARY="${mingw_root}/lib/libz.a" -DZLIB_INCLUDE_DIR="${mingw_root}/include")
# Licence texts: install_licence <component> <file>...
install_licence() {
  local dir="${staging}/share/licenses/$1"
  shift
  mkdir -p "${dir}"
  cp "$@" "${dir}/"
}
# Times each step, for the log and for .complete.
timings=()
timed() {
  local name="$1" start=${SECONDS}
  shift
  "$@"
  timings+=("${name} $((SECONDS - start)) s")
  log "${name} took $((SECONDS - start)) s"
}

# --- libpng, static --------------------------------------------------------------------------
build_libpng() {
  log "building libpng"
  cmake -S "${work}/src/libpng" -B "${work}/build/libpng" "${common[@]}" \
    -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_FRAMEWORK=OFF \
    -DSKIP_INSTALL_PROGRAMS=ON -DSKIP_INSTALL_EXECUTABLES=ON -DSKIP_INSTALL_FILES=ON >&2
  cmake --build "${work}/build/libpng" -j "${jobs}" >&2
  cmake --install "${work}/build/libpng" >&2
  install_licence libpng "${work}/src/libpng/LICENSE"
}
timed libpng build_libpng
install_licence zlib /usr/share/doc/libz-mingw-w64-dev/copyright

# --- libjpeg-turbo, static, without SIMD -------------------------------------------------------
# Templates are decoded once when added, so the SIMD paths (which would need nasm) buy nothing.
# Only the static library is wanted; the command-line tools it always builds are not installed.
build_libjpeg_turbo() {
  log "building libjpeg-turbo"
  cmake -S "${work}/src/libjpeg-turbo" -B "${work}/build/libjpeg-turbo" "${common[@]}" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DWITH_JAVA=OFF \
    -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_INSTALL_INCLUDEDIR=include >&2
  cmake --build "${work}/build/libjpeg-turbo" -j "${jobs}" --target jpeg-static >&2
  install -D -m 644 "${work}/build/libjpeg-turbo/libjpeg.a" "${staging}/lib/libjpeg.a"
  install -m 644 -t "${staging}/include" "${work}/build/libjpeg-turbo/jconfig.h" \
    "${work}/src/libjpeg-turbo/jerror.h" "${work}/src/libjpeg-turbo/jmorecfg.h" \
    "${work}/src/libjpeg-turbo/jpeglib.h"
  install_licence libjpeg-turbo "${work}/src/libjpeg-turbo/LICENSE.md" \
    "${work}/src/libjpeg-turbo/README.ijg"
}
timed libjpeg-turbo build_libjpeg_turbo

# --- libtiff, static: zlib (deflate) and JPEG codecs only ---------------------------------------
build_libtiff() {
  log "building libtiff"
  cmake -S "${work}/src/libtiff" -B "${work}/build/libtiff" "${common[@]}" \
    -DBUILD_SHARED_LIBS=OFF -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
    -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=OFF -Djpeg12=OFF -Dpixarlog=OFF -Dlibdeflate=OFF \
    -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF \
    -DJPEG_LIBRARY="${staging}/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="${staging}/include" >&2
  cmake --build "${work}/build/libtiff" -j "${jobs}" >&2
  cmake --install "${work}/build/libtiff" >&2
  local licence
  for licence in LICENSE.md COPYRIGHT; do
    if [[ -f "${work}/src/libtiff/${licence}" ]]; then
      install_licence libtiff "${work}/src/libtiff/${licence}"
      return 0
    fi
  done
  log "libtiff's source has no licence file"
  return 1
}
timed libtiff build_libtiff

# --- OpenCV: core, imgproc, imgcodecs (PNG, BMP, JPEG, TIFF, PNM), static, nothing optional ------
# libtiff is a static archive that calls into libjpeg and zlib, and OpenCV puts TIFF after JPEG on
# the link line; naming both again after libtiff keeps a single-pass linker from missing them.
build_opencv() {
  log "building OpenCV"
  local off_options=(IPP ITT OPENCL OPENCLAMDFFT OPENCLAMDBLAS OPENCL_SVM VA VA_INTEL EIGEN LAPACK
                     PROTOBUF ADE FFMPEG GSTREAMER DSHOW MSMF MSMF_DXVA DIRECTX OPENCL_D3D11_NV VTK
                     QT GTK WIN32UI WEBP OPENJPEG JASPER OPENEXR GDAL GDCM IMGCODEC_HDR
                     IMGCODEC_SUNRASTER IMGCODEC_PFM TBB OPENMP CUDA OPENVX HALIDE QUIRC CAROTENE
                     1394 V4L OBSENSOR VULKAN WEBNN TIMVX CANN ONNX)
  local off=() opt
  for opt in "${off_options[@]}"; do
    off+=("-DWITH_${opt}=OFF")
  done
  cmake -S "${work}/src/opencv" -B "${work}/build/opencv" "${common[@]}" "${off[@]}" \
    -DBUILD_LIST=core,imgproc,imgcodecs -DBUILD_SHARED_LIBS=OFF -DWITH_PNG=ON -DBUILD_PNG=OFF \
    -DBUILD_ZLIB=OFF -DPNG_LIBRARY="${staging}/lib/libpng16.a" \
    -DPNG_PNG_INCLUDE_DIR="${staging}/include" \
    -DWITH_JPEG=ON -DBUILD_JPEG=OFF -DJPEG_LIBRARY="${staging}/lib/libjpeg.a" \
    -DJPEG_INCLUDE_DIR="${staging}/include" \
    -DWITH_TIFF=ON -DBUILD_TIFF=OFF -DTIFF_INCLUDE_DIR="${staging}/include" \
    -DTIFF_LIBRARY="${staging}/lib/libtiff.a;${staging}/lib/libjpeg.a;${mingw_root}/lib/libz.a" \
    -DWITH_IMGCODEC_PXM=ON -DENABLE_PRECOMPILED_HEADERS=OFF \
    -DCPU_DISPATCH= -DCV_TRACE=OFF -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_DOCS=OFF -DBUILD_opencv_apps=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF \
    -DBUILD_opencv_python2=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF -DINSTALL_C_EXAMPLES=OFF \
    -DOPENCV_ENABLE_NONFREE=OFF >&2
  cmake --build "${work}/build/opencv" -j "${jobs}" >&2
  cmake --install "${work}/build/opencv" >&2
}
timed opencv build_opencv
if [[ ! -f "${staging}/share/licenses/opencv4/LICENSE" ]]; then
  install_licence opencv4 "${work}/src/opencv/LICENSE"
fi

{
  printf 'opencv %s\nlibpng %s\nlibjpeg-turbo %s\nlibtiff %s\nzlib %s\n%s\nrecipe %s\n' \
    "${opencv_version}" "${png_version}" "${jpeg_version}" "${tiff_version}" "${zlib_version}" \
    "${cxx_version}" "${recipe_hash}"
  printf 'built in: %s\n' "${timings[@]}"
} > "${staging}/.complete"
log "done: ${prefix}"
echo "${prefix}"
