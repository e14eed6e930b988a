#include <gtest/gtest.h>

#include "base/utf.h"

namespace tavrik {
namespace {

TEST(ToUtf8, ConvertsAllPlanesAndStopsAtNul) {
  EXPECT_EQ(ToUtf8(u""), "");
  EXPECT_EQ(ToUtf8(u"abc"), "abc");
  EXPECT_EQ(ToUtf8(u"\u00e9\u20ac"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  const char16_t withNul[] = {u'a', u'b', 0, u'c'};
  EXPECT_EQ(ToUtf8(std::u16string_view(withNul, 4)), "ab");
  const char16_t nulFirst[] = {0, u'x'};
  EXPECT_EQ(ToUtf8(std::u16string_view(nulFirst, 2)), "");
}

TEST(ToUtf8, LoneSurrogatesBecomeReplacementCharacter) {
  const char16_t lead[] = {u'a', 0xD83D, u'b'};
  EXPECT_EQ(ToUtf8(std::u16string_view(lead, 3)),
            "a\xEF\xBF\xBD"
            "b");
  const char16_t trail[] = {0xDE00};
  EXPECT_EQ(ToUtf8(std::u16string_view(trail, 1)), "\xEF\xBF\xBD");
  const char16_t leadAtEnd[] = {u'x', 0xD800};
  EXPECT_EQ(ToUtf8(std::u16string_view(leadAtEnd, 2)), "x\xEF\xBF\xBD");
  const char16_t reversed[] = {0xDC00, 0xD800};
  EXPECT_EQ(ToUtf8(std::u16string_view(reversed, 2)), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8ToUtf16, RoundTripsAndReplacesMalformedInput) {
  EXPECT_EQ(Utf8ToUtf16("abc"), u"abc");
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(ToUtf8(Utf8ToUtf16("h\xC3\xA9llo \xE2\x82\xAC")), "h\xC3\xA9llo \xE2\x82\xAC");
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");  // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"
                        "x"),
            u"\uFFFDx");                                          // maximal subpart is one U+FFFD
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
}

TEST(TruncateUtf16, NeverSplitsASurrogatePair) {
  const std::u16string text = u"ab\U0001F600c";  // a b D83D DE00 c
  EXPECT_EQ(TruncateUtf16(text, 10), text);
  EXPECT_EQ(TruncateUtf16(text, 4), u"ab\U0001F600");
  EXPECT_EQ(TruncateUtf16(text, 3), u"ab");
  EXPECT_EQ(TruncateUtf16(text, 0), u"");
}

}  // namespace
}  // namespace tavrik
