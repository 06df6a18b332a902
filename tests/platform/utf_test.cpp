#include "platform/utf.h"

#include <gtest/gtest.h>

namespace talvex {
namespace {

TEST(Utf16ToUtf8, EncodesEachPlaneAsWin32Does) {
  EXPECT_EQ(Utf16ToUtf8(u"A|"), "A|");
  EXPECT_EQ(Utf16ToUtf8(u"\u00E4"), "\xC3\xA4");
  EXPECT_EQ(Utf16ToUtf8(u"张三"), "\xE5\xBC\xA0\xE4\xB8\x89");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Utf16ToUtf8, UnpairedSurrogatesBecomeReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), fffd);
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), fffd);
  // A low surrogate before a high one pairs with nothing.
  std::u16string reversed = {char16_t(0xDC00), char16_t(0xD800), u'x'};
  EXPECT_EQ(Utf16ToUtf8(reversed), fffd + fffd + "x");
  std::u16string high_then_letter = {char16_t(0xD83D), u'a'};
  EXPECT_EQ(Utf16ToUtf8(high_then_letter), fffd + "a");
}

TEST(Utf16zToUtf8, CountsTheTerminatorAndRefusesWhatDoesNotFit) {
  char out[8];
  EXPECT_EQ(Utf16zToUtf8(u"张", out, sizeof out), 4u);
  EXPECT_STREQ(out, "\xE5\xBC\xA0");
  EXPECT_EQ(Utf16zToUtf8(u"", out, sizeof out), 1u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(Utf16zToUtf8(u"张三", out, 6), 0u);  // needs 7
  EXPECT_EQ(Utf16zToUtf8(u"张三", out, 7), 7u);
}

TEST(Utf8ToUtf16, RoundTripsAndReplacesInvalidBytes) {
  EXPECT_EQ(Utf8ToUtf16("某省某市\xF0\x9F\x98\x80"), u"某省某市\U0001F600");
  EXPECT_EQ(Utf8ToUtf16("a\xFFz"), u"a\uFFFDz");
  EXPECT_EQ(Utf8ToUtf16("\xE5\xBC"), u"\uFFFD\uFFFD");            // cut short
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
}

}  // namespace
}  // namespace talvex

namespace talvex {
namespace {

TEST(EscapeForTerminal, ControlBytesNulsAndBrokenUtf8AreShownAsHex) {
  EXPECT_EQ(EscapeForTerminal("张三 C:\\Talvex ok"), "张三 C:\\Talvex ok");
  EXPECT_EQ(EscapeForTerminal(std::string("a\x1b[31m\0b\x7f\tc\r\n", 13)),
            "a\\x1b[31m\\x00b\\x7f\\x09c\\x0d\\x0a");
  EXPECT_EQ(EscapeForTerminal("line\n", true), "line\n");
  // C1 controls, as UTF-8 or as a lone byte, and a cut or overlong sequence.
  EXPECT_EQ(EscapeForTerminal("\xC2\x9B"
                              "2J\x9B\xE5\xBC\xC0\x80"),
            "\\xc2\\x9b2J\\x9b\\xe5\\xbc\\xc0\\x80");
  EXPECT_EQ(EscapeForTerminal("\xC2\xA0\xF0\x9F\x98\x80"), "\xC2\xA0\xF0\x9F\x98\x80");
  // Invisible marks and direction overrides that would hide or reorder text.
  EXPECT_EQ(EscapeForTerminal("\xEF\xBB\xBF"
                              "a\xE2\x80\xAE"),
            "\\xef\\xbb\\xbfa\\xe2\\x80\\xae");
}

}  // namespace
}  // namespace talvex
