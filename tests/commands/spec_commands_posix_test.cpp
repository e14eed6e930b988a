// The add handler on POSIX: the real window lookup without a display, files that are not files,
// and the quoted form of a POSIX path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "base/utf.h"
#include "tests/commands/spec_commands_fixture.h"

namespace tavrik {
namespace {

using test::SpecCommandsTest;

TEST_F(SpecCommandsTest, RealWindowLookupForAProcessThatCannotExist) {
  const SpecContext real{registry_, log_, dir_.Path(), LookUpTargetWindow};  // the worker's
  SpecCommand c = Command(u"chest");
  c.processName = u"no-such-process-\u00e9\u00e9-7f3a.exe";
  // No display to look on: the lookup says so, and the template is registered all the same.
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display != nullptr ? display : "";
  ::unsetenv("DISPLAY");
  AddSpecHandler(real, c);
  if (display != nullptr) ::setenv("DISPLAY", saved.c_str(), 1);
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[1],
            "[Spec] Window lookup for 'no-such-process-\xC3\xA9\xC3\xA9-7f3a' found no display");
  EXPECT_EQ(lines_.back(), "[Spec] Registered 'chest' ROI=10,20 64x48 threshold=0.9");
  const TemplatePtr t = Only("chest");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->windowOrigin, (IntPoint{0, 0}));
  EXPECT_EQ(t->dpi, 96);
  EXPECT_EQ(t->processName, u"no-such-process-\u00e9\u00e9-7f3a");
}

TEST_F(SpecCommandsTest, FailureLineQuotesTheResolvedPath) {
  const std::string absolute = (dir_.Path() / "q\"uote\\.png").string();
  AddSpecHandler(context_, Command(u"q", Utf8ToUtf16(absolute)));
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[1], "[Spec] Failed to load template 'q' from \"" + dir_.Path().string() +
                           "/q\\\"uote\\\\.png\"");
}

TEST_F(SpecCommandsTest, FifoDeviceAndRefusedImageAreFailedLoadsAndKeepTheOldTemplate) {
  AddSpecHandler(context_, Command(u"chest"));
  const TemplatePtr before = Only("chest");
  ASSERT_EQ(::mkfifo((dir_.Path() / "pipe.png").c_str(), 0600), 0);
  dir_.WriteBytes("huge.png", test::OversizedPngHeader());

  for (const std::u16string path : {u"pipe.png", u"/dev/zero", u"huge.png"}) {
    lines_.clear();
    auto done =
        std::async(std::launch::async, [&] { AddSpecHandler(context_, Command(u"chest", path)); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "add blocked on " << ToUtf8(path);
    done.get();
    ASSERT_EQ(lines_.size(), 2u) << ToUtf8(path);
    EXPECT_EQ(lines_[1].rfind("[Spec] Failed to load template 'chest' from \"", 0), 0u)
        << lines_[1];
    EXPECT_EQ(Only("chest"), before);
  }
}

}  // namespace
}  // namespace tavrik
