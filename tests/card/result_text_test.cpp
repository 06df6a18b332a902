#include "card/result_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "card/card_block.h"

namespace talvex {
namespace {

using testing::CardBlock;

using Builder = void (*)(char*&, const std::uint8_t*);

// Runs a builder into a fresh 1024-byte buffer filled with garbage, so a
// missing terminator shows.
std::string Build(Builder build, const CardBlock& block, std::size_t* length = nullptr) {
  char buffer[kResultTextCapacity];
  std::fill(std::begin(buffer), std::end(buffer), '#');
  buffer[0] = '\0';
  char* cursor = buffer;
  build(cursor, block.data());
  std::size_t n = static_cast<std::size_t>(cursor - buffer);
  EXPECT_EQ(buffer[n], '\0') << "text not terminated at the cursor";
  if (length) *length = n;
  return std::string(buffer, n);
}

std::size_t Separators(const std::string& s) {
  return std::count(s.begin(), s.end(), '|');
}

TEST(ResultText, WorkedExamplesByteForByte) {
  std::size_t n = 0;
  std::string resident = Build(BuildResidentText, testing::ZhangSanBlock(), &n);
  EXPECT_EQ(resident,
            "0|1|张三|1|男|01|汉|20000101|某省某市某区某路1号|000000200001010000|某市公安局|"
            "20200101|20400101|");
  EXPECT_EQ(n, 115u);

  std::string foreign = Build(BuildForeignText, testing::DoeJaneBlock(), &n);
  EXPECT_EQ(foreign,
            "0|2|DOE JANE|2|女/F|000000000000000|USA|美国/USA|多伊|20200101|20300101|19800101|"
            "01|0000|公安部/Ministry of Public Security|");
  EXPECT_EQ(n, 132u);

  std::string hmt = Build(BuildHmtText, testing::LiSiBlock(), &n);
  EXPECT_EQ(hmt,
            "0|3|李四|1|男|19900101|某省某市某区某路2号|000000199001010000|某市公安局|20200101|"
            "20250101|H00000000|01|");
  EXPECT_EQ(n, 121u);
}

TEST(ResultText, EmptyFieldsKeepTheSeparatorCountOfTheKind) {
  // A block of spaces only: most fields end up empty but are still written.
  CardBlock blank;
  std::string resident = Build(BuildResidentText, blank);
  EXPECT_EQ(Separators(resident), 13u);
  EXPECT_EQ(resident.rfind("0|1|", 0), 0u);
  std::string foreign = Build(BuildForeignText, blank);
  EXPECT_EQ(Separators(foreign), 15u);
  EXPECT_EQ(foreign.rfind("0|2|", 0), 0u);
  std::string hmt = Build(BuildHmtText, blank);
  EXPECT_EQ(Separators(hmt), 13u);
  EXPECT_EQ(hmt.rfind("0|3|", 0), 0u);

  // All-NUL block: every copied field is empty.
  CardBlock zeros;
  std::fill(zeros.data(), zeros.data() + 256, 0);
  EXPECT_EQ(Build(BuildResidentText, zeros), "0|1|||||其他|||||||");
  EXPECT_EQ(Build(BuildHmtText, zeros), "0|3||||||||||||");
  EXPECT_EQ(Build(BuildForeignText, zeros), "0|2||||||/|||||||公安部/Ministry of Public Security|");
}

TEST(ResultText, UnknownGenderGivesAdjacentSeparators) {
  CardBlock b = testing::ZhangSanBlock();
  b.Put(testing::Resident::kGender, 1, u"9");
  EXPECT_NE(Build(BuildResidentText, b).find("|张三|9||01|汉|"), std::string::npos);
  CardBlock f = testing::DoeJaneBlock();
  f.Put(testing::Foreign::kGender, 1, u"0");
  EXPECT_NE(Build(BuildForeignText, f).find("|DOE JANE|0||000000000000000|"), std::string::npos);
}

TEST(ResultText, PipeInsideAFieldIsNotEscaped) {
  CardBlock b = testing::ZhangSanBlock();
  b.Put(testing::Resident::kName, testing::Resident::kNameUnits, u"张|三");
  std::string text = Build(BuildResidentText, b);
  EXPECT_EQ(text.rfind("0|1|张|三|1|", 0), 0u);
  EXPECT_EQ(Separators(text), 14u);
}

TEST(ResultText, FullFieldsOfThreeByteUnitsAreWrittenWhole) {
  // Every unit of the block takes three UTF-8 bytes: the longest texts a card
  // can give. Nothing may be cut and the buffer must hold them.
  CardBlock b;
  for (std::size_t off = 0; off < 256; off += 2) b.SetUnit(off, u'龘');
  std::size_t n = 0;
  // Kind 1: 110 units copied, "其他" as nation name, no gender text.
  Build(BuildResidentText, b, &n);
  EXPECT_EQ(n, std::size_t{4 + 3 * 110 + 6 + 11});
  // Kind 3: 119 units copied, no gender text.
  Build(BuildHmtText, b, &n);
  EXPECT_EQ(n, std::size_t{4 + 3 * 119 + 11});
  // Kind 2: 124 units copied, "/" and the code, the fixed authority text.
  Build(BuildForeignText, b, &n);
  EXPECT_EQ(n, std::size_t{4 + 3 * 124 + (1 + 9) + 37 + 13});
  EXPECT_LT(n, kResultTextCapacity);
}

// --- AppendField ---

std::string Append(const std::u16string& field, std::size_t* advanced = nullptr) {
  char buffer[kResultTextCapacity];
  std::fill(std::begin(buffer), std::end(buffer), '#');
  std::strcpy(buffer, "x|");
  char* cursor = buffer + 2;
  AppendField(cursor, field.c_str());
  if (advanced) *advanced = static_cast<std::size_t>(cursor - (buffer + 2));
  EXPECT_EQ(*cursor, '\0');
  return std::string(buffer, static_cast<std::size_t>(cursor - buffer));
}

TEST(AppendField, AppendsUtf8AndOneSeparator) {
  std::size_t advanced = 0;
  EXPECT_EQ(Append(u"汉", &advanced), "x|汉|");
  EXPECT_EQ(advanced, 4u);
  EXPECT_EQ(Append(u"", &advanced), "x||");
  EXPECT_EQ(advanced, 1u);
  // Unpaired surrogate: replaced, not a failure.
  EXPECT_EQ(Append(std::u16string(1, char16_t{0xD800}), &advanced), "x|\xEF\xBF\xBD|");
  // A pair is one four-byte character.
  EXPECT_EQ(Append(u"\U0001F600", &advanced), "x|\xF0\x9F\x98\x80|");
}

TEST(AppendField, FieldThatDoesNotFitTheScratchIsDroppedWithItsSeparator) {
  // 66 three-byte units and one ASCII unit: 199 bytes plus the terminator fit
  // the 200-byte scratch exactly.
  std::u16string fits(66, u'汉');
  fits += u'a';
  std::size_t advanced = 0;
  std::string text = Append(fits, &advanced);
  EXPECT_EQ(advanced, 200u);
  EXPECT_EQ(text.back(), '|');

  // One byte more does not convert: nothing at all is appended.
  std::u16string tooLong(66, u'汉');
  tooLong += u"ab";
  EXPECT_EQ(Append(tooLong, &advanced), "x|");
  EXPECT_EQ(advanced, 0u);
  EXPECT_EQ(Append(std::u16string(100, u'汉'), &advanced), "x|");
  EXPECT_EQ(advanced, 0u);
}

TEST(AppendField, ConsecutiveFieldsChainAtTheCursor) {
  char buffer[64];
  buffer[0] = '\0';
  char* cursor = buffer;
  AppendField(cursor, u"a");
  AppendField(cursor, std::u16string(300, u'b').c_str());  // dropped
  AppendField(cursor, u"");
  AppendField(cursor, u"张");
  EXPECT_STREQ(buffer, "a||张|");
  EXPECT_EQ(cursor, buffer + std::strlen(buffer));
}

}  // namespace
}  // namespace talvex
