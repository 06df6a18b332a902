// Builds 256-byte card text blocks from field values the way a card holds
// them: little-endian UTF-16 units, each field padded with spaces to its width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace talvex::testing {

class CardBlock {
 public:
  CardBlock() {
    for (std::size_t i = 0; i < sizeof bytes_; i += 2) {
      bytes_[i] = 0x20;
      bytes_[i + 1] = 0x00;
    }
  }

  // Writes `value` at byte `offset`, padded with spaces to `units` units.
  CardBlock& Put(std::size_t offset, std::size_t units, std::u16string_view value) {
    EXPECT_LE(value.size(), units) << "test value longer than its card field";
    EXPECT_LE(offset + 2 * units, sizeof bytes_);
    for (std::size_t i = 0; i < units; ++i) {
      char16_t u = i < value.size() ? value[i] : u' ';
      SetUnit(offset + 2 * i, u);
    }
    return *this;
  }

  // Writes exactly one unit at byte `offset`.
  CardBlock& SetUnit(std::size_t offset, char16_t unit) {
    bytes_[offset] = static_cast<std::uint8_t>(unit & 0xFF);
    bytes_[offset + 1] = static_cast<std::uint8_t>(unit >> 8);
    return *this;
  }

  const std::uint8_t* data() const { return bytes_; }
  std::uint8_t* data() { return bytes_; }

 private:
  std::uint8_t bytes_[256];
};

// Kind 1 layout, byte offsets and widths in units.
struct Resident {
  static constexpr std::size_t kName = 0, kNameUnits = 15;
  static constexpr std::size_t kGender = 30;
  static constexpr std::size_t kNation = 32, kNationUnits = 2;
  static constexpr std::size_t kBirth = 36, kDateUnits = 8;
  static constexpr std::size_t kAddress = 52, kAddressUnits = 35;
  static constexpr std::size_t kId = 122, kIdUnits = 18;
  static constexpr std::size_t kAuthority = 158, kAuthorityUnits = 15;
  static constexpr std::size_t kValidFrom = 188, kValidTo = 204;
};

// Kind 2 layout.
struct Foreign {
  static constexpr std::size_t kEnglishName = 0, kEnglishNameUnits = 60;
  static constexpr std::size_t kGender = 120;
  static constexpr std::size_t kCardNumber = 122, kCardNumberUnits = 15;
  static constexpr std::size_t kNationality = 152, kNationalityUnits = 3;
  static constexpr std::size_t kChineseName = 158, kChineseNameUnits = 15;
  static constexpr std::size_t kValidFrom = 188, kValidTo = 204, kBirth = 220, kDateUnits = 8;
  static constexpr std::size_t kVersion = 236, kVersionUnits = 2;
  static constexpr std::size_t kAuthorityCode = 240, kAuthorityCodeUnits = 4;
  static constexpr std::size_t kCardType = 248;
};

// Kind 3 layout.
struct Hmt {
  static constexpr std::size_t kName = 0, kNameUnits = 15;
  static constexpr std::size_t kGender = 30;
  static constexpr std::size_t kBirth = 36, kDateUnits = 8;
  static constexpr std::size_t kAddress = 52, kAddressUnits = 35;
  static constexpr std::size_t kId = 122, kIdUnits = 18;
  static constexpr std::size_t kAuthority = 158, kAuthorityUnits = 15;
  static constexpr std::size_t kValidFrom = 188, kValidTo = 204;
  static constexpr std::size_t kPass = 220, kPassUnits = 9;
  static constexpr std::size_t kIssueCount = 238, kIssueCountUnits = 2;
  static constexpr std::size_t kCardType = 248;
};

// The made-up cards of the worked examples.
inline CardBlock ZhangSanBlock() {
  CardBlock b;
  b.Put(Resident::kName, Resident::kNameUnits, u"张三")
      .Put(Resident::kGender, 1, u"1")
      .Put(Resident::kNation, Resident::kNationUnits, u"01")
      .Put(Resident::kBirth, Resident::kDateUnits, u"20000101")
      .Put(Resident::kAddress, Resident::kAddressUnits, u"某省某市某区某路1号")
      .Put(Resident::kId, Resident::kIdUnits, u"000000200001010000")
      .Put(Resident::kAuthority, Resident::kAuthorityUnits, u"某市公安局")
      .Put(Resident::kValidFrom, Resident::kDateUnits, u"20200101")
      .Put(Resident::kValidTo, Resident::kDateUnits, u"20400101");
  return b;
}

inline CardBlock DoeJaneBlock() {
  CardBlock b;
  b.Put(Foreign::kEnglishName, Foreign::kEnglishNameUnits, u"DOE JANE")
      .Put(Foreign::kGender, 1, u"2")
      .Put(Foreign::kCardNumber, Foreign::kCardNumberUnits, u"000000000000000")
      .Put(Foreign::kNationality, Foreign::kNationalityUnits, u"USA")
      .Put(Foreign::kChineseName, Foreign::kChineseNameUnits, u"多伊")
      .Put(Foreign::kValidFrom, Foreign::kDateUnits, u"20200101")
      .Put(Foreign::kValidTo, Foreign::kDateUnits, u"20300101")
      .Put(Foreign::kBirth, Foreign::kDateUnits, u"19800101")
      .Put(Foreign::kVersion, Foreign::kVersionUnits, u"01")
      .Put(Foreign::kAuthorityCode, Foreign::kAuthorityCodeUnits, u"0000")
      .SetUnit(Foreign::kCardType, u'I');
  return b;
}

inline CardBlock LiSiBlock() {
  CardBlock b;
  b.Put(Hmt::kName, Hmt::kNameUnits, u"李四")
      .Put(Hmt::kGender, 1, u"1")
      .Put(Hmt::kBirth, Hmt::kDateUnits, u"19900101")
      .Put(Hmt::kAddress, Hmt::kAddressUnits, u"某省某市某区某路2号")
      .Put(Hmt::kId, Hmt::kIdUnits, u"000000199001010000")
      .Put(Hmt::kAuthority, Hmt::kAuthorityUnits, u"某市公安局")
      .Put(Hmt::kValidFrom, Hmt::kDateUnits, u"20200101")
      .Put(Hmt::kValidTo, Hmt::kDateUnits, u"20250101")
      .Put(Hmt::kPass, Hmt::kPassUnits, u"H00000000")
      .Put(Hmt::kIssueCount, Hmt::kIssueCountUnits, u"01")
      .SetUnit(Hmt::kCardType, u'J');
  return b;
}

}  // namespace talvex::testing
