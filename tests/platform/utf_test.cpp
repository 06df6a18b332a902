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
