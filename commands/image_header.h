// The pixel size an encoded image declares in its header, read without decoding it.
//
// A template file is checked here before the decoder sees it: a few hundred kilobytes of
// compressed PNG can declare 16384 x 16384 pixels and take gigabytes and many seconds to decode.
// The reader knows the header of every format the template loader lets through, recognised by
// the decoder's own signature tests (or narrower ones), so the decoder that reads a file is the
// one whose header was read here:
//   PNG (IHDR), BMP (core and info headers), JPEG (the first SOFn frame header), TIFF (the first
//   directory) and the PNM family (P1..P6, PAM P7).
// Anything else and any header that is cut short or inconsistent gives no size, and the loader
// refuses the file: a size it cannot bound is a size it does not decode. Left out on purpose:
//   - formats OpenCV decodes only through a temporary file (Radiance HDR, PFM, Sun raster; GDAL):
//     every add would write a file to disk, a cut HDR file leaks a descriptor each time, and a
//     file that GDAL takes for DICOM can abort the process inside GDCM;
//   - WebP and BigTIFF, whose decoders test more (or other) than a signature: a file that passed
//     here but failed there would go on down the decoder list;
//   - OpenEXR and JPEG 2000.
//
// Pure functions over a byte buffer; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tavrik {

struct ImageDimensions {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint64_t Pixels() const { return std::uint64_t{width} * height; }
  friend bool operator==(const ImageDimensions&, const ImageDimensions&) = default;
};

// Width and height (both at least 1) from the header of an encoded image; nothing when the
// format is not one listed above or its header is malformed.
std::optional<ImageDimensions> ReadImageDimensions(const unsigned char* data, std::size_t size);

}  // namespace tavrik
