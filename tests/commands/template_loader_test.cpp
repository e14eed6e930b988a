#include "commands/template_loader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/commands/template_files.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

TEST(TemplateLoader, DecodesColourGreyAndAlphaFilesAsThreeChannelBgr) {
  ScratchDir dir;
  cv::Mat colour(4, 6, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat grey(5, 3, CV_8UC1, cv::Scalar(77));
  cv::Mat bgra(2, 2, CV_8UC4, cv::Scalar(200, 100, 50, 0));  // fully transparent

  const cv::Mat a = LoadTemplateImage(dir.WriteImage("c.png", colour));
  ASSERT_EQ(a.type(), CV_8UC3);
  EXPECT_EQ(a.size(), cv::Size(6, 4));
  EXPECT_EQ(a.at<cv::Vec3b>(3, 5), cv::Vec3b(10, 20, 30));

  const cv::Mat g = LoadTemplateImage(dir.WriteImage("g.png", grey));
  ASSERT_EQ(g.type(), CV_8UC3);
  EXPECT_EQ(g.at<cv::Vec3b>(4, 2), cv::Vec3b(77, 77, 77));

  const cv::Mat t = LoadTemplateImage(dir.WriteImage("t.png", bgra));
  ASSERT_EQ(t.type(), CV_8UC3);
  EXPECT_EQ(t.at<cv::Vec3b>(1, 1), cv::Vec3b(200, 100, 50));  // alpha dropped, colour kept
}

TEST(TemplateLoader, MissingEmptyCorruptAndDirectoryAreFailedLoads) {
  ScratchDir dir;
  EXPECT_TRUE(LoadTemplateImage(dir.Path() / "missing.png").empty());
  EXPECT_TRUE(LoadTemplateImage(fs::path()).empty());
  EXPECT_TRUE(LoadTemplateImage(dir.WriteBytes("empty.png", {})).empty());
  EXPECT_TRUE(LoadTemplateImage(dir.WriteBytes("junk.png", {'n', 'o', 't', 0, 1, 2})).empty());
  EXPECT_TRUE(LoadTemplateImage(dir.Path()).empty());
}

// The bytes decide the format, never the name, on every system: a file named for another format
// loads as what it is, and bytes of no image format are refused under any image name.
TEST(TemplateLoader, TheBytesNotTheExtensionDecideTheFormat) {
  ScratchDir dir;
  const cv::Mat image(9, 14, CV_8UC3, cv::Scalar(40, 80, 120));
  const std::string formats[] = {".png", ".bmp", ".jpg", ".tif", ".ppm"};
  const std::size_t count = std::size(formats);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& named = formats[(i + 1) % count];
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(cv::imencode(formats[i], image, bytes)) << formats[i];
    const cv::Mat loaded = LoadTemplateImage(dir.WriteBytes("image" + named, bytes));
    EXPECT_EQ(loaded.size(), image.size()) << formats[i] << " bytes named " << named;
    EXPECT_TRUE(LoadTemplateImage(dir.WriteBytes("text" + named, {'G', 'I', 'F', '8', '9', 'a'}))
                    .empty())
        << named;
  }
}

TEST(TemplateLoader, ImageTheDecoderRefusesIsAFailedLoadNotACrash) {
  ScratchDir dir;
  EXPECT_TRUE(LoadTemplateImage(dir.WriteBytes("huge.png", test::OversizedPngHeader())).empty());
}

TEST(TemplateLoader, FileAboveTheSizeLimitIsRefusedBeforeReading) {
  ScratchDir dir;
  const fs::path big = dir.Path() / "big.png";
  { std::ofstream(big, std::ios::binary).put('x'); }
  fs::resize_file(big, kMaxTemplateFileBytes + 1);  // sparse: costs no disk space
  std::vector<unsigned char> bytes;
  EXPECT_FALSE(ReadTemplateFile(big, bytes));
  EXPECT_TRUE(bytes.empty());

  // An ordinary small file is read whole.
  const auto small = dir.WriteBytes("small.bin", {1, 2, 3});
  ASSERT_TRUE(ReadTemplateFile(small, bytes));
  EXPECT_EQ(bytes, (std::vector<unsigned char>{1, 2, 3}));
}

}  // namespace
}  // namespace tavrik
