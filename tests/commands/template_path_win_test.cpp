// Template path resolution on Windows, through the real file system and the Windows grammar, and
// the narrow form of the resolved path that the image decoder and the failure line get.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "commands/template_path.h"
#include "tests/support/child_process.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "x";
}

class WinTemplatePathTest : public ::testing::Test {
 protected:
  // exeDirectory = <scratch>\a\b\c
  void SetUp() override {
    exe_ = root_.Path() / "a" / "b" / "c";
    fs::create_directories(exe_);
  }
  fs::path Resolve(const std::u16string& path) { return ResolveTemplatePath(path, exe_); }
  std::wstring W(const fs::path& p) { return p.lexically_normal().make_preferred().wstring(); }

  test::ScratchDirectory root_{"paths"};
  fs::path exe_;
};

TEST_F(WinTemplatePathTest, FindsARelativePathTwoLevelsAboveTheExecutableDirectory) {
  Touch(root_.Path() / "a" / "img" / "ok.png");
  EXPECT_EQ(Resolve(u"img\\ok.png").wstring(), W(root_.Path() / "a" / "img" / "ok.png"));
  // Forward slashes are separators too; the result uses '\' throughout.
  const std::wstring mixed = Resolve(u"img/./x/../ok.png").wstring();
  EXPECT_EQ(mixed, W(root_.Path() / "a" / "img" / "ok.png"));
  EXPECT_EQ(mixed.find(L'/'), std::wstring::npos);
}

TEST_F(WinTemplatePathTest, TheNearestDirectoryWins) {
  Touch(root_.Path() / "a" / "img" / "ok.png");
  Touch(exe_ / "img" / "ok.png");
  EXPECT_EQ(Resolve(u"img\\ok.png").wstring(), W(exe_ / "img" / "ok.png"));
}

TEST_F(WinTemplatePathTest, ADirectoryCountsAsExisting) {
  fs::create_directories(root_.Path() / "a" / "b" / "dir");
  EXPECT_EQ(Resolve(u"dir\\").wstring(), W(root_.Path() / "a" / "b" / "dir") + L"\\");
}

TEST_F(WinTemplatePathTest, NowhereMeansUnderTheExecutableDirectory) {
  EXPECT_EQ(Resolve(u"nowhere\\x.png").wstring(), W(exe_ / "nowhere" / "x.png"));
  EXPECT_EQ(Resolve(u"..\\x.png").wstring(), W(root_.Path() / "a" / "b" / "x.png"));
}

TEST_F(WinTemplatePathTest, AbsolutePathsAreTakenAsTheyAre) {
  EXPECT_EQ(Resolve(u"C:/no/such/./x.png").wstring(), L"C:/no/such/./x.png");
  const fs::path existing = root_.Path() / "abs.png";
  Touch(existing);
  EXPECT_EQ(Resolve(existing.u16string()), existing);
  EXPECT_TRUE(Resolve(u"").empty());
}

TEST_F(WinTemplatePathTest, TheWorkingDirectoryPlaysNoPart) {
  const fs::path cwd = root_.Path() / "cwd";
  Touch(cwd / "here.png");
  const fs::path previous = fs::current_path();
  fs::current_path(cwd);
  const fs::path resolved = Resolve(u"here.png");
  fs::current_path(previous);
  EXPECT_EQ(resolved.wstring(), W(exe_ / "here.png"));
}

TEST(WinDecoderPath, NarrowsInTheFileSystemCodePage) {
  const DecoderPath ascii = NarrowPathForDecoder(fs::path(L"C:\\t\\ok.png"));
  EXPECT_TRUE(ascii.exact);
  EXPECT_EQ(ascii.narrow, "C:\\t\\ok.png");
  if (GetACP() == CP_UTF8) GTEST_SKIP() << "every path has a UTF-8 form";

  // A character the ANSI code page lacks has no exact narrow form.
  const DecoderPath cjk = NarrowPathForDecoder(fs::path(L"C:\\t\\\u4E2D.png"));
  EXPECT_FALSE(cjk.exact);
  EXPECT_FALSE(cjk.narrow.empty());
}

TEST(WinDecoderPath, TheNarrowFormOpensTheFileForTheDecoder) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252, have " << GetACP();
  test::ScratchDirectory dir("narrow");
  const fs::path file = dir.Path() / L"caf\u00E9.png";
  ASSERT_TRUE(cv::imwrite((dir.Path() / "plain.png").string(),
                          cv::Mat(4, 6, CV_8UC3, cv::Scalar(1, 2, 3))));
  fs::rename(dir.Path() / "plain.png", file);
  const DecoderPath narrow = NarrowPathForDecoder(file);
  ASSERT_TRUE(narrow.exact);
  EXPECT_EQ(narrow.narrow.back(), 'g');
  EXPECT_NE(narrow.narrow.find('\xE9'), std::string::npos);  // one byte, not UTF-8
  const cv::Mat image = cv::imread(narrow.narrow);
  EXPECT_EQ(image.size(), cv::Size(6, 4));
}

}  // namespace
}  // namespace tavrik
