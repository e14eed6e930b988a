#include "base/line_escape.h"

#include <gtest/gtest.h>

#include <string>

#include "base/numeric.h"
#include "base/utf.h"

namespace tavrik {
namespace {

TEST(LineEscape, ControlsSeparatorsAndBidiBecomeVisibleEscapes) {
  EXPECT_EQ(LineSafe("x\n[HIT] forged score=1"), "x\\u{A}[HIT] forged score=1");
  EXPECT_EQ(LineSafe(std::string("a\0b\r\t\x1b[31m\x7f", 11)),
            "a\\u{0}b\\u{D}\\u{9}\\u{1B}[31m\\u{7F}");
  // C1 controls as well-formed UTF-8 (NEL, CSI), the separators and every bidi control.
  EXPECT_EQ(LineSafe(ToUtf8(u"\u0085\u009b\u2028\u2029")), "\\u{85}\\u{9B}\\u{2028}\\u{2029}");
  EXPECT_EQ(LineSafe(ToUtf8(u"\u202a\u202b\u202c\u202d\u202e")),
            "\\u{202A}\\u{202B}\\u{202C}\\u{202D}\\u{202E}");
  EXPECT_EQ(LineSafe(ToUtf8(u"\u2066\u2067\u2068\u2069\u200e\u200f\u061c")),
            "\\u{2066}\\u{2067}\\u{2068}\\u{2069}\\u{200E}\\u{200F}\\u{61C}");
  // Bytes outside well-formed UTF-8: a bare C1 byte, a cut sequence, an overlong slash.
  EXPECT_EQ(LineSafe("p\x9b"
                     "q\xe2\x80"
                     "r\xc0\xaf"),
            "p\\x{9B}q\\x{E2}\\x{80}r\\x{C0}\\x{AF}");
  EXPECT_FALSE(IsLineSafe("a\nb"));
  EXPECT_FALSE(IsLineSafe("\xff"));
}

TEST(LineEscape, OrdinaryTextIsUnchangedAndEscapingIsIdempotent) {
  const std::string ordinary =
      ToUtf8(u"D:\\T\\a.png \"q\" caf\u00e9 \u4e2d\u6587 \U0001F600 \u2027\u202f\u2065 ~");
  EXPECT_EQ(LineSafe(ordinary), ordinary);
  EXPECT_TRUE(IsLineSafe(ordinary));
  const std::string hostile =
      "n\n\xe2\x80\xae"
      "evil\x9b";
  const std::string once = LineSafe(hostile);
  EXPECT_TRUE(IsLineSafe(once));
  EXPECT_EQ(LineSafe(once), once);
}

TEST(LineEscape, LineTextEscapesEveryTextPieceButNotNumbers) {
  const std::string name = "t1:x\n[HIT] y";
  const std::string line =
      (LineText() << "[Spec] Registered '" << name << "' ROI=" << -3 << ',' << '\n'
                  << 0.5)
          .str();
  EXPECT_EQ(line, "[Spec] Registered 't1:x\\u{A}[HIT] y' ROI=-3,\\u{A}0.5");
}

}  // namespace
}  // namespace tavrik
