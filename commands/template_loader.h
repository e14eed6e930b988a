// Loading a template image file as 8-bit BGR, without letting a hostile or odd file hurt the
// CommandThread.
//
// The file is read whole by this module and handed to cv::imdecode with IMREAD_COLOR, rather than
// to cv::imread, so that the module decides what it opens: only regular files are read (a FIFO, a
// device such as /dev/zero, a socket or a directory is a failed load and is never waited on), and
// a file larger than kMaxTemplateFileBytes is refused before it is read. Before decoding, the
// image's header is read (commands/image_header.h) and an image of more than kMaxTemplatePixels
// pixels, or one whose size the header does not tell, is refused: a small file must not be able
// to make the CommandThread allocate gigabytes and decode for seconds. IMREAD_COLOR turns grey
// and 4-channel files into 3-channel BGR, as imread would. An image the decoder refuses or cannot
// allocate (cv::Exception, std::bad_alloc) is a failed load as well; nothing escapes.
//
// Threads: any; called on the CommandThread by the add command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <opencv2/core/mat.hpp>
#include <vector>

namespace tavrik {

// Generous for an on-screen template (a 8K RGBA BMP is about 130 MiB), small enough that a
// mistaken path cannot make the worker swallow a disk image.
inline constexpr std::size_t kMaxTemplateFileBytes = std::size_t{256} << 20;

// The largest template, in pixels: 2^22, for instance 2048 x 2048 or a whole 2560 x 1600 screen.
// A template must fit inside its region to be found, and regions are bounded by the capture
// (kMaxCapturePixels, 2^26); this bound sits 16 times below that, where decoding, preparing and
// matching one template still take well under a second.
inline constexpr std::uint64_t kMaxTemplatePixels = std::uint64_t{1} << 22;

// Reads a regular file of at most kMaxTemplateFileBytes whole. False for anything else or on any
// read error. Platform-specific (template_loader_posix.cpp / template_loader_win.cpp).
bool ReadTemplateFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes);

// Reads a file whose size was seen as `expected` bytes through `readSome` (which fills at most the
// given count and returns how many it read, 0 at the end, -1 on an error), reading at most one byte
// more than expected so that a file that grows past kMaxTemplateFileBytes is noticed. The
// backends' common part of ReadTemplateFile.
using ReadSomeFunction = std::function<long long(unsigned char* into, std::size_t count)>;
bool ReadBounded(std::size_t expected, const ReadSomeFunction& readSome,
                 std::vector<unsigned char>& bytes);

// Decodes encoded image bytes to 8-bit BGR, provided their header declares at most `maxPixels`
// pixels; an empty image when the size is unknown or too large, or the bytes cannot be decoded.
cv::Mat DecodeImageBytes(const std::vector<unsigned char>& bytes, std::uint64_t maxPixels);

// DecodeImageBytes with the template bound.
cv::Mat DecodeTemplateImage(const std::vector<unsigned char>& bytes);

// ReadTemplateFile then DecodeImageBytes; an empty image on any failure. Tools load screenshots
// with a larger bound than templates.
cv::Mat LoadImageFile(const std::filesystem::path& path, std::uint64_t maxPixels);

// LoadImageFile with the template bound.
cv::Mat LoadTemplateImage(const std::filesystem::path& path);

}  // namespace tavrik
