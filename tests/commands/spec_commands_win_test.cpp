// The add handler on Windows: a device named as the template is a failed load, refused before it
// is opened, and the template already registered under the name keeps running.
#include <gtest/gtest.h>

#include <string>

#include "tests/commands/spec_commands_fixture.h"

namespace tavrik {
namespace {

using test::SpecCommandsTest;

TEST_F(SpecCommandsTest, DevicePathsAreFailedLoadsAndKeepTheOldTemplate) {
  AddSpecHandler(context_, Command(u"chest"));
  const TemplatePtr before = Only("chest");
  ASSERT_NE(before, nullptr);
  for (const std::u16string path :
       {u"\\\\.\\pipe\\tavrik-none", u"NUL", u"con.png", u"\\\\?\\UNC\\localhost\\c$\\a.png"}) {
    lines_.clear();
    AddSpecHandler(context_, Command(u"chest", path));
    ASSERT_EQ(lines_.size(), 2u);
    EXPECT_EQ(lines_[1].rfind("[Spec] Failed to load template 'chest' from \"", 0), 0u)
        << lines_[1];
    EXPECT_EQ(Only("chest"), before);
  }
}

}  // namespace
}  // namespace tavrik
