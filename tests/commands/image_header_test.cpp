#include "commands/image_header.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "commands/template_loader.h"
#include "tests/commands/template_files.h"

namespace tavrik {
namespace {

std::optional<ImageDimensions> Read(const std::vector<unsigned char>& bytes) {
  return ReadImageDimensions(bytes.data(), bytes.size());
}

std::vector<unsigned char> Encode(const std::string& extension, const cv::Mat& image) {
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(cv::imencode(extension, image, bytes)) << extension;
  return bytes;
}

// Every accepted format: the header reader must agree with the encoder on the size, and the loader
// must then decode the same size. Every build (the static Win32 one too) reads and writes them all.
TEST(ImageHeader, AgreesWithTheEncoderOnEveryFormat) {
  const cv::Mat colour(23, 37, CV_8UC3, cv::Scalar(10, 200, 30));
  const cv::Mat grey(23, 37, CV_8UC1, cv::Scalar(99));
  cv::Mat floats;
  colour.convertTo(floats, CV_32FC3, 1.0 / 255);
  struct Case {
    std::string extension;
    const cv::Mat* image;
  };
  const Case cases[] = {{".png", &colour}, {".bmp", &colour}, {".jpg", &colour}, {".tif", &colour},
                        {".pbm", &grey},   {".pgm", &grey},   {".ppm", &colour}, {".pam", &colour}};
  for (const Case& c : cases) {
    ASSERT_TRUE(cv::haveImageWriter("x" + c.extension)) << c.extension;
    const std::vector<unsigned char> bytes = Encode(c.extension, *c.image);
    EXPECT_EQ(Read(bytes), (ImageDimensions{37, 23})) << c.extension;
    const cv::Mat decoded = DecodeTemplateImage(bytes);
    EXPECT_EQ(decoded.size(), cv::Size(37, 23)) << c.extension;
  }
  // Formats the decoder reads through a temporary file, or tests more deeply than by a
  // signature, are refused unread.
  const Case refused[] = {
      {".pfm", &floats}, {".ras", &colour}, {".hdr", &floats}, {".webp", &colour}};
  for (const Case& c : refused) {
    if (!cv::haveImageWriter("x" + c.extension)) continue;
    const std::vector<unsigned char> bytes = Encode(c.extension, *c.image);
    EXPECT_FALSE(Read(bytes)) << c.extension;
    EXPECT_TRUE(DecodeTemplateImage(bytes).empty()) << c.extension;
  }
}

TEST(ImageHeader, CutOrForeignHeadersGiveNoSize) {
  const cv::Mat image(23, 37, CV_8UC3, cv::Scalar(1, 2, 3));
  for (const std::string extension : {".png", ".bmp", ".jpg", ".tif", ".ppm"}) {
    ASSERT_TRUE(cv::haveImageWriter("x" + extension)) << extension;
    const std::vector<unsigned char> whole = Encode(extension, image);
    // A header cut anywhere gives no size or, once complete, the right one; never another.
    for (std::size_t n = 0; n < std::min<std::size_t>(whole.size(), 700); ++n) {
      const std::vector<unsigned char> cut(whole.begin(), whole.begin() + n);
      const auto size = Read(cut);
      if (size) {
        EXPECT_EQ(*size, (ImageDimensions{37, 23})) << extension << " cut at " << n;
      }
    }
  }
  // OpenEXR and JPEG 2000 signatures, text, nothing: no size, so the loader refuses them.
  EXPECT_FALSE(Read({0x76, 0x2f, 0x31, 0x01, 2, 0, 0, 0, 'd', 'a', 't', 'a'}));
  EXPECT_FALSE(Read({0, 0, 0, 0x0c, 'j', 'P', ' ', ' ', 0x0d, 0x0a, 0x87, 0x0a}));
  EXPECT_FALSE(Read({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_FALSE(Read({}));
  EXPECT_FALSE(ReadImageDimensions(nullptr, 0));
  // A BMP with a zero width is malformed, not an image of no pixels.
  std::vector<unsigned char> bmp = Encode(".bmp", image);
  bmp[18] = bmp[19] = bmp[20] = bmp[21] = 0;
  EXPECT_FALSE(Read(bmp));
}

TEST(ImageHeader, DecompressionBombIsRefusedBeforeDecoding) {
  const std::vector<unsigned char> bomb = test::DecompressionBombPng(16384, 16384);
  EXPECT_LT(bomb.size(), 64u * 1024);
  EXPECT_EQ(Read(bomb), (ImageDimensions{16384, 16384}));
  EXPECT_TRUE(DecodeTemplateImage(bomb).empty());
  // Just inside the bound it is an ordinary (black) template.
  const cv::Mat largest = DecodeTemplateImage(test::DecompressionBombPng(2048, 2048));
  ASSERT_EQ(largest.type(), CV_8UC3);
  EXPECT_EQ(largest.total(), kMaxTemplatePixels);
  EXPECT_TRUE(DecodeTemplateImage(test::DecompressionBombPng(2049, 2048)).empty());
  // A screenshot for the probe may be larger than a template.
  EXPECT_FALSE(DecodeImageBytes(test::DecompressionBombPng(2049, 2048), 1u << 26).empty());
}

}  // namespace
}  // namespace tavrik
