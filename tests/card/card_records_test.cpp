#include "card/card_records.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "card/card_block.h"

namespace talvex {
namespace {

using testing::CardBlock;
using testing::Foreign;
using testing::Hmt;
using testing::Resident;

std::u16string S(const char16_t* s) {
  return s;
}

// --- space rules ---

std::u16string Removed(std::u16string s) {
  RemoveSpaces(s.data());
  return std::u16string(s.c_str());
}

std::u16string Trimmed(std::u16string s) {
  TrimTrailingSpaces(s.data());
  return std::u16string(s.c_str());
}

TEST(SpaceRules, RemoveSpacesDeletesEveryAsciiSpaceOnly) {
  EXPECT_EQ(Removed(u"张三             "), u"张三");
  EXPECT_EQ(Removed(u" 张 三 "), u"张三");
  EXPECT_EQ(Removed(u"  a  b  c  "), u"abc");
  EXPECT_EQ(Removed(u"        "), u"");
  EXPECT_EQ(Removed(u""), u"");
  EXPECT_EQ(Removed(u"nospace"), u"nospace");
  // Tab and the ideographic space are not U+0020.
  EXPECT_EQ(Removed(u"a\tb\u3000c d"), u"a\tb\u3000cd");
}

TEST(SpaceRules, RemoveSpacesTerminatesRightAfterTheLastKeptUnit) {
  // Closing up must not leave the old tail behind the new terminator.
  std::u16string s = u"a b c";
  RemoveSpaces(s.data());
  EXPECT_EQ(s[0], u'a');
  EXPECT_EQ(s[1], u'b');
  EXPECT_EQ(s[2], u'c');
  EXPECT_EQ(s[3], u'\0');
}

TEST(SpaceRules, TrimTrailingSpacesKeepsInnerAndLeadingSpaces) {
  EXPECT_EQ(Trimmed(u"DOE JANE" + std::u16string(52, u' ')), u"DOE JANE");
  EXPECT_EQ(Trimmed(std::u16string(60, u' ')), u"");
  EXPECT_EQ(Trimmed(u"  A B"), u"  A B");
  EXPECT_EQ(Trimmed(u"A\t "), u"A\t");
  EXPECT_EQ(Trimmed(u""), u"");
}

// --- integer conversion and nation names ---

TEST(ParseLeadingInteger, BehavesLikeTheCLibraryConversion) {
  EXPECT_EQ(ParseLeadingInteger(u"01"), 1);
  EXPECT_EQ(ParseLeadingInteger(u"1 "), 1);
  EXPECT_EQ(ParseLeadingInteger(u" 7"), 7);
  EXPECT_EQ(ParseLeadingInteger(u"\t\n\v\f\r 42x"), 42);
  EXPECT_EQ(ParseLeadingInteger(u"+5"), 5);
  EXPECT_EQ(ParseLeadingInteger(u"-5"), -5);
  EXPECT_EQ(ParseLeadingInteger(u"AB"), 0);
  EXPECT_EQ(ParseLeadingInteger(u"  "), 0);
  EXPECT_EQ(ParseLeadingInteger(u""), 0);
  EXPECT_EQ(ParseLeadingInteger(u"-"), 0);
  EXPECT_EQ(ParseLeadingInteger(u"+-1"), 0);
  EXPECT_EQ(ParseLeadingInteger(u"9A"), 9);
  EXPECT_EQ(ParseLeadingInteger(u"0x10"), 0);
  // Full-width digits and the ideographic space are not part of a number.
  EXPECT_EQ(ParseLeadingInteger(u"１２"), 0);
  EXPECT_EQ(ParseLeadingInteger(u"\u30001"), 0);
}

TEST(ParseLeadingInteger, SaturatesAtThe32BitRange) {
  EXPECT_EQ(ParseLeadingInteger(u"2147483647"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInteger(u"2147483648"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInteger(u"99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInteger(u"-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseLeadingInteger(u"-2147483649"), INT32_MIN);
  EXPECT_EQ(ParseLeadingInteger(u"-2147483647"), -2147483647);
}

std::u16string Nation(std::int32_t code) {
  char16_t out[kNationNameCapacity];
  for (auto& c : out) c = u'#';
  LookupNationName(code, out);
  return out;
}

TEST(NationTable, EveryCodeGivesItsName) {
  // Independent copy of the 56 names, in code order.
  const char16_t* names[] = {
      u"汉",     u"蒙古",   u"回",       u"藏",     u"维吾尔",   u"苗",   u"彝",     u"壮",
      u"布依",   u"朝鲜",   u"满",       u"侗",     u"瑶",       u"白",   u"土家",   u"哈尼",
      u"哈萨克", u"傣",     u"黎",       u"傈僳",   u"佤",       u"畲",   u"高山",   u"拉祜",
      u"水",     u"东乡",   u"纳西",     u"景颇",   u"柯尔克孜", u"土",   u"达斡尔", u"仫佬",
      u"羌",     u"布朗",   u"撒拉",     u"毛南",   u"仡佬",     u"锡伯", u"阿昌",   u"普米",
      u"塔吉克", u"怒",     u"乌孜别克", u"俄罗斯", u"鄂温克",   u"德昂", u"保安",   u"裕固",
      u"京",     u"塔塔尔", u"独龙",     u"鄂伦春", u"赫哲",     u"门巴", u"珞巴",   u"基诺",
  };
  ASSERT_EQ(std::size(names), 56u);
  for (std::int32_t code = 1; code <= 56; ++code) {
    EXPECT_EQ(Nation(code), names[code - 1]) << "code " << code;
  }
}

TEST(NationTable, CodesOutsideTheTable) {
  EXPECT_EQ(Nation(98), u"外国血统中国籍人士");  // fills all 10 units
  for (std::int32_t code : {0, -1, 57, 97, 99, 100, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(Nation(code), u"其他") << "code " << code;
  }
}

// --- kind 1 ---

TEST(ResidentCard, GenderText) {
  CardBlock b = testing::ZhangSanBlock();
  EXPECT_EQ(S(DecodeResidentCard(b.Put(Resident::kGender, 1, u"2").data()).genderText), u"女");
  for (const char16_t* code : {u"9", u" ", u"0", u"M"}) {
    ResidentCardInfo r = DecodeResidentCard(b.Put(Resident::kGender, 1, code).data());
    EXPECT_EQ(S(r.genderText), u"") << "code " << static_cast<int>(code[0]);
    EXPECT_EQ(S(r.genderCode), code);
  }
}

TEST(ResidentCard, NationCodeEdgeCases) {
  struct Case {
    const char16_t* code;
    const char16_t* name;
  } cases[] = {
      {u"01", u"汉"},   {u"1", u"汉"},      {u"56", u"基诺"}, {u"98", u"外国血统中国籍人士"},
      {u"97", u"其他"}, {u"00", u"其他"},   {u"57", u"其他"}, {u"  ", u"其他"},
      {u"AB", u"其他"}, {u" 5", u"维吾尔"}, {u"-1", u"其他"}, {u"2A", u"蒙古"}};
  CardBlock b = testing::ZhangSanBlock();
  for (const Case& c : cases) {
    ResidentCardInfo r = DecodeResidentCard(b.Put(Resident::kNation, 2, c.code).data());
    EXPECT_EQ(S(r.nationName), c.name);
  }
  // The code itself is output as the card gives it, spaces included.
  ResidentCardInfo r = DecodeResidentCard(b.Put(Resident::kNation, 2, u"1").data());
  EXPECT_EQ(S(r.nationCode), u"1 ");
}

TEST(ResidentCard, WhichFieldsLoseTheirSpaces) {
  CardBlock b;
  b.Put(Resident::kName, Resident::kNameUnits, u"张 三")
      .Put(Resident::kGender, 1, u" ")
      .Put(Resident::kNation, 2, u"1")
      .Put(Resident::kBirth, 8, u"2000 01")
      .Put(Resident::kAddress, Resident::kAddressUnits, u"某 省")
      .Put(Resident::kId, Resident::kIdUnits, u"0000002000010100")
      .Put(Resident::kAuthority, Resident::kAuthorityUnits, u"某 市")
      .Put(Resident::kValidFrom, 8, u"")
      .Put(Resident::kValidTo, 8, u"");
  ResidentCardInfo r = DecodeResidentCard(b.data());
  EXPECT_EQ(S(r.name), u"张三");
  EXPECT_EQ(S(r.genderCode), u" ");
  EXPECT_EQ(S(r.nationCode), u"1 ");
  EXPECT_EQ(S(r.birthDate), u"2000 01 ");
  EXPECT_EQ(S(r.address), u"某省");
  EXPECT_EQ(S(r.idNumber), u"0000002000010100  ");
  EXPECT_EQ(S(r.issuingAuthority), u"某市");
  EXPECT_EQ(S(r.validFrom), u"        ");
  EXPECT_EQ(S(r.validTo), u"");
}

TEST(ResidentCard, NulInsideAFieldEndsIt) {
  CardBlock b = testing::ZhangSanBlock();
  b.SetUnit(Resident::kId + 2 * 6, 0);       // after six digits
  b.SetUnit(Resident::kAddress + 2 * 2, 0);  // after 某省
  b.SetUnit(Resident::kValidFrom, 0);        // first unit
  ResidentCardInfo r = DecodeResidentCard(b.data());
  EXPECT_EQ(S(r.idNumber), u"000000");
  EXPECT_EQ(S(r.address), u"某省");
  EXPECT_EQ(S(r.validFrom), u"");
  // The fields around them are untouched.
  EXPECT_EQ(S(r.issuingAuthority), u"某市公安局");
  EXPECT_EQ(S(r.validTo), u"20400101");
}

TEST(ResidentCard, FullWidthFieldsAreCopiedWholeAndUnitsAfter220Ignored) {
  CardBlock b;
  b.Put(Resident::kName, 15, u"ABCDEFGHIJKLMNO")
      .Put(Resident::kAddress, 35, u"12345678901234567890123456789012345")
      .Put(Resident::kId, 18, u"123456789012345678")
      .Put(Resident::kAuthority, 15, u"abcdefghijklmno")
      .Put(Resident::kValidTo, 8, u"87654321");
  ResidentCardInfo plain = DecodeResidentCard(b.data());
  EXPECT_EQ(S(plain.name), u"ABCDEFGHIJKLMNO");
  EXPECT_EQ(S(plain.address), u"12345678901234567890123456789012345");
  EXPECT_EQ(S(plain.idNumber), u"123456789012345678");
  EXPECT_EQ(S(plain.issuingAuthority), u"abcdefghijklmno");
  EXPECT_EQ(S(plain.validTo), u"87654321");

  // Whatever lies from byte 220 on (including the card-type unit) changes nothing.
  CardBlock tail = b;
  for (std::size_t off = 220; off < 256; off += 2) tail.SetUnit(off, u'Z');
  tail.SetUnit(248, u'I');
  ResidentCardInfo other = DecodeResidentCard(tail.data());
  EXPECT_EQ(std::memcmp(&plain, &other, sizeof plain), 0);
}

// --- kind 2 ---

TEST(ForeignCard, NationalityText) {
  struct Case {
    const char16_t* code;
    const char16_t* text;
  } cases[] = {{u"CHN", u"中国/CHN"},
               {u"HKG", u"香港/HKG"},
               {u"GMB", u"冈比亚Gambia/GMB"},
               {u"SGS", u"南乔治亚岛和南桑德韦奇岛/SGS"},
               {u"XYZ", u"/XYZ"},
               {u"usa", u"/usa"},
               {u"CXR", u"/CXR"},
               {u"PSE", u"/PSE"},
               {u"CSR", u"圣诞岛/CSR"},
               {u"PST", u"巴勒斯坦/PST"},
               {u"US", u"/US "},
               {u"", u"/   "}};
  CardBlock b = testing::DoeJaneBlock();
  for (const Case& c : cases) {
    ForeignCardInfo r = DecodeForeignCard(b.Put(Foreign::kNationality, 3, c.code).data());
    EXPECT_EQ(S(r.nationalityText), c.text);
  }
  // A code cut by a NUL is looked up as the shorter string.
  b.Put(Foreign::kNationality, 3, u"USA").SetUnit(Foreign::kNationality + 4, 0);
  EXPECT_EQ(S(DecodeForeignCard(b.data()).nationalityText), u"/US");
}

TEST(ForeignCard, GenderTextAndCleaning) {
  CardBlock b = testing::DoeJaneBlock();
  EXPECT_EQ(S(DecodeForeignCard(b.Put(Foreign::kGender, 1, u"1").data()).genderText), u"男/M");
  EXPECT_EQ(S(DecodeForeignCard(b.Put(Foreign::kGender, 1, u"3").data()).genderText), u"");

  b.Put(Foreign::kEnglishName, 60, u" DOE  JANE")
      .Put(Foreign::kChineseName, 15, u"多 伊")
      .Put(Foreign::kCardNumber, 15, u"0000 0000")
      .Put(Foreign::kValidFrom, 8, u"2020")
      .Put(Foreign::kValidTo, 8, u"2030 01")
      .Put(Foreign::kBirth, 8, u"1980")
      .Put(Foreign::kVersion, 2, u"1")
      .Put(Foreign::kAuthorityCode, 4, u"12");
  ForeignCardInfo r = DecodeForeignCard(b.data());
  EXPECT_EQ(S(r.englishName), u" DOE  JANE");
  EXPECT_EQ(S(r.chineseName), u"多伊");
  EXPECT_EQ(S(r.cardNumber), u"0000 0000      ");
  EXPECT_EQ(S(r.validFrom), u"2020    ");
  EXPECT_EQ(S(r.validTo), u"203001");
  EXPECT_EQ(S(r.birthDate), u"1980    ");
  EXPECT_EQ(S(r.cardVersion), u"1 ");
  EXPECT_EQ(S(r.authorityCode), u"12  ");
  EXPECT_EQ(S(r.authorityText), u"公安部/Ministry of Public Security");

  CardBlock blankName = testing::DoeJaneBlock();
  blankName.Put(Foreign::kEnglishName, 60, u"");
  EXPECT_EQ(S(DecodeForeignCard(blankName.data()).englishName), u"");
}

TEST(ForeignCard, FullEnglishNameAndLastFields) {
  std::u16string sixty;
  for (int i = 0; i < 60; ++i) sixty += static_cast<char16_t>(u'A' + i % 26);
  CardBlock b = testing::DoeJaneBlock();
  b.Put(Foreign::kEnglishName, 60, sixty).Put(Foreign::kAuthorityCode, 4, u"9876");
  ForeignCardInfo r = DecodeForeignCard(b.data());
  EXPECT_EQ(S(r.englishName), sixty);
  EXPECT_EQ(S(r.genderCode), u"2");  // the name does not run into the gender unit
  EXPECT_EQ(S(r.authorityCode), u"9876");
  EXPECT_EQ(S(r.authorityText), u"公安部/Ministry of Public Security");
}

// --- kind 3 ---

TEST(HmtPermit, SpaceRulesAndGender) {
  CardBlock b = testing::LiSiBlock();
  b.Put(Hmt::kPass, 9, u"H0000000")
      .Put(Hmt::kIssueCount, 2, u"1")
      .Put(Hmt::kValidTo, 8, u"")
      .Put(Hmt::kGender, 1, u"2");
  HmtPermitInfo r = DecodeHmtPermit(b.data());
  EXPECT_EQ(S(r.passNumber), u"H0000000");
  EXPECT_EQ(S(r.issueCount), u"1 ");
  EXPECT_EQ(S(r.validTo), u"");
  EXPECT_EQ(S(r.genderText), u"女");

  b.Put(Hmt::kPass, 9, u"H00 00000").Put(Hmt::kGender, 1, u"X").Put(Hmt::kName, 15, u"李 四");
  r = DecodeHmtPermit(b.data());
  EXPECT_EQ(S(r.passNumber), u"H0000000");
  EXPECT_EQ(S(r.genderText), u"");
  EXPECT_EQ(S(r.name), u"李四");
}

TEST(HmtPermit, NationUnitsAndTailAreNotRead) {
  HmtPermitInfo plain = DecodeHmtPermit(testing::LiSiBlock().data());
  CardBlock b = testing::LiSiBlock();
  b.Put(32, 2, u"01");
  for (std::size_t off = 242; off < 256; off += 2) b.SetUnit(off, u'Q');
  b.SetUnit(Hmt::kCardType, u'J');
  HmtPermitInfo other = DecodeHmtPermit(b.data());
  EXPECT_EQ(std::memcmp(&plain, &other, sizeof plain), 0);
}

}  // namespace
}  // namespace talvex
