#include "commands/template_loader.h"

#include <algorithm>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <optional>

#include "commands/image_header.h"

namespace tavrik {

bool ReadBounded(std::size_t expected, const ReadSomeFunction& readSome,
                 std::vector<unsigned char>& bytes) {
  bytes.resize(std::min(expected, kMaxTemplateFileBytes) + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const long long n = readSome(bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got == bytes.size() && got <= kMaxTemplateFileBytes) {
      bytes.resize(std::min(got * 2, kMaxTemplateFileBytes + 1));
    }
  }
  if (got > kMaxTemplateFileBytes) {
    bytes.clear();
    return false;
  }
  bytes.resize(got);
  return true;
}

cv::Mat DecodeImageBytes(const std::vector<unsigned char>& bytes, std::uint64_t maxPixels) {
  const std::optional<ImageDimensions> declared = ReadImageDimensions(bytes.data(), bytes.size());
  if (!declared || declared->Pixels() > maxPixels) return cv::Mat();
  try {
    cv::Mat image = cv::imdecode(bytes, cv::IMREAD_COLOR);
    if (image.empty() || image.type() != CV_8UC3) return cv::Mat();
    // The decoder read the same header; a different size means the two disagree about the file.
    if (image.total() != declared->Pixels()) return cv::Mat();
    return image;
  } catch (const cv::Exception&) {
    // Header limits, corrupt streams the codec rejects by throwing.
    return cv::Mat();
  } catch (const std::bad_alloc&) {
    return cv::Mat();
  }
}

cv::Mat DecodeTemplateImage(const std::vector<unsigned char>& bytes) {
  return DecodeImageBytes(bytes, kMaxTemplatePixels);
}

cv::Mat LoadImageFile(const std::filesystem::path& path, std::uint64_t maxPixels) {
  std::vector<unsigned char> bytes;
  try {
    if (!ReadTemplateFile(path, bytes)) return cv::Mat();
  } catch (const std::bad_alloc&) {
    return cv::Mat();
  }
  return DecodeImageBytes(bytes, maxPixels);
}

cv::Mat LoadTemplateImage(const std::filesystem::path& path) {
  return LoadImageFile(path, kMaxTemplatePixels);
}

}  // namespace tavrik
