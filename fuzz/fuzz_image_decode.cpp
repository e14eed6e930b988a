// Template loading from bytes: the header bound and the decoder. Whenever the header reader
// lets an image through, the decoder must produce exactly the size the header declared; a larger
// one would be a way around the bound.
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "commands/image_header.h"
#include "commands/template_loader.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavrik;
  const std::vector<unsigned char> bytes(data, data + size);
  const auto declared = ReadImageDimensions(bytes.data(), bytes.size());
  const cv::Mat image = DecodeTemplateImage(bytes);
  if (!image.empty()) {
    fuzz::Check(declared.has_value(), "a decoded template had a readable header");
    fuzz::Check(image.type() == CV_8UC3, "templates are 8-bit BGR");
    fuzz::Check(image.total() <= kMaxTemplatePixels, "templates stay within the pixel bound");
  }
  if (declared && declared->Pixels() <= kMaxTemplatePixels) {
    cv::Mat raw;
    try {
      raw = cv::imdecode(bytes, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
    }
    if (!raw.empty()) {
      fuzz::Check(raw.total() == declared->Pixels(), "the decoder decodes the declared size");
      fuzz::Check(raw.type() != CV_8UC3 || !image.empty(),
                  "a BGR image within the bound is loaded");
    }
  }
  return 0;
}
