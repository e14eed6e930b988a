#include "commands/template_loader.h"

#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace tavrik {

cv::Mat DecodeTemplateImage(const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return cv::Mat();
  try {
    cv::Mat image = cv::imdecode(bytes, cv::IMREAD_COLOR);
    if (image.empty() || image.type() != CV_8UC3) return cv::Mat();
    return image;
  } catch (const cv::Exception&) {
    // Header limits (image too large), corrupt streams the codec rejects by throwing.
    return cv::Mat();
  } catch (const std::bad_alloc&) {
    return cv::Mat();
  }
}

cv::Mat LoadTemplateImage(const std::filesystem::path& path) {
  std::vector<unsigned char> bytes;
  try {
    if (!ReadTemplateFile(path, bytes)) return cv::Mat();
  } catch (const std::bad_alloc&) {
    return cv::Mat();
  }
  return DecodeTemplateImage(bytes);
}

}  // namespace tavrik
