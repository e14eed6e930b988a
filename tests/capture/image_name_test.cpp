#include "capture/image_name.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrik {
namespace {

TEST(NormalizeImageName, LowerCasesAsciiAndDropsOneExeSuffix) {
  EXPECT_EQ(NormalizeImageName(u"Game.EXE"), u"game");
  EXPECT_EQ(NormalizeImageName(u"game.exe"), u"game");
  EXPECT_EQ(NormalizeImageName(u"game"), u"game");
  EXPECT_EQ(NormalizeImageName(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ"), u"abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(NormalizeImageName(u"tool.exe.exe"), u"tool.exe");
  EXPECT_EQ(NormalizeImageName(u"Tool.Exe.EXE"), u"tool.exe");
}

TEST(NormalizeImageName, LeavesEverythingElseAlone) {
  // Exactly the suffix is not longer than 4 units, so it stays.
  EXPECT_EQ(NormalizeImageName(u".exe"), u".exe");
  EXPECT_EQ(NormalizeImageName(u".EXE"), u".exe");
  EXPECT_EQ(NormalizeImageName(u"a.exe"), u"a");
  EXPECT_EQ(NormalizeImageName(u"game.exe "), u"game.exe ");
  EXPECT_EQ(NormalizeImageName(u" Game"), u" game");
  EXPECT_EQ(NormalizeImageName(u"game.com"), u"game.com");
  EXPECT_EQ(NormalizeImageName(u"game.ex"), u"game.ex");
  EXPECT_EQ(NormalizeImageName(u"C:\\Apps\\Game.exe"), u"c:\\apps\\game");
  EXPECT_EQ(NormalizeImageName(u""), u"");
  // Only A to Z are letters here: other capitals, '@' and '[' (the neighbours of A and Z) stay.
  EXPECT_EQ(NormalizeImageName(u"\u00C4PFEL\u0130\u0391.EXE"), u"\u00C4pfel\u0130\u0391");
  EXPECT_EQ(NormalizeImageName(u"@[`{"), u"@[`{");
  // Surrogate pairs pass through untouched.
  EXPECT_EQ(NormalizeImageName(u"\U0001F600X.exe"), u"\U0001F600x");
}

TEST(NormalizeImageName, KeepsTheInput) {
  const std::u16string input = u"Game.EXE";
  const std::u16string output = NormalizeImageName(input);
  EXPECT_EQ(input, u"Game.EXE");
  EXPECT_EQ(output, u"game");
}

TEST(ImageFileName, SplitsAtTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(ImageFileName(u"D:\\Apps\\GAME.exe"), u"GAME.exe");
  EXPECT_EQ(ImageFileName(u"/usr/bin/xeyes"), u"xeyes");
  EXPECT_EQ(ImageFileName(u"D:\\Apps/sub\\x.exe"), u"x.exe");
  EXPECT_EQ(ImageFileName(u"C:/dir\\a/b.exe"), u"b.exe");
  EXPECT_EQ(ImageFileName(u"plain.exe"), u"plain.exe");
  EXPECT_EQ(ImageFileName(u"/usr/bin/"), u"");
  EXPECT_EQ(ImageFileName(u""), u"");
}

TEST(ImagePathMatches, ComparesTheNormalisedFileNameExactly) {
  EXPECT_TRUE(ImagePathMatches(u"D:\\Apps\\GAME.exe", NormalizeImageName(u"Game.EXE")));
  EXPECT_TRUE(ImagePathMatches(u"D:\\Apps\\GAME.exe", NormalizeImageName(u"game.exe")));
  EXPECT_TRUE(ImagePathMatches(u"D:\\Apps\\GAME.exe", u"game"));
  EXPECT_TRUE(ImagePathMatches(u"/opt/game/game", u"game"));
  EXPECT_FALSE(ImagePathMatches(u"D:\\Apps\\GAME.exe", u"gam"));
  EXPECT_FALSE(ImagePathMatches(u"D:\\Apps\\GAME.exe", u"games"));
  EXPECT_FALSE(ImagePathMatches(u"D:\\Apps\\GAME.exe", u"apps\\game"));
  EXPECT_FALSE(ImagePathMatches(u"D:\\Apps\\GAME.exe", u"GAME"));
  EXPECT_FALSE(ImagePathMatches(u"/opt/game.bin", u"game"));
  // A directory path names no file: only an empty wanted name equals its empty file name.
  EXPECT_TRUE(ImagePathMatches(u"/opt/", u""));
  EXPECT_FALSE(ImagePathMatches(u"/opt/game", u""));
}

TEST(ImagePathMatches, RefusesPathsLongerThanTheWindowsBuffer) {
  const std::u16string name = u"\\game.exe";
  const std::u16string fits =
      u"C:" + std::u16string(kMaxImagePathUnits - 2 - name.size(), u'd') + name;
  ASSERT_EQ(fits.size(), 259u);
  EXPECT_TRUE(ImagePathMatches(fits, u"game"));
  const std::u16string tooLong = u"C:d" + fits.substr(2);
  ASSERT_EQ(tooLong.size(), 260u);
  EXPECT_FALSE(ImagePathMatches(tooLong, u"game"));
}

}  // namespace
}  // namespace tavrik
