// The decoded card text records of the three card kinds, their decoders and
// the helpers they share (space rules, nation and country tables).
//
// The card text block is 256 bytes of little-endian UTF-16 code units in
// fixed-width fields padded with spaces. Every record field is a
// NUL-terminated UTF-16 string in a fixed array whose size counts the
// terminator. Where each field sits in the block, and the order of the fields
// in the result text, is the kind's table in card/card_fields.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvex {

// Kind 1: resident identity card.
struct ResidentCardInfo {
  char16_t name[16];
  char16_t genderCode[2];
  char16_t genderText[2];
  char16_t nationCode[4];
  char16_t nationName[10];
  char16_t birthDate[10];
  char16_t address[36];
  char16_t idNumber[20];
  char16_t issuingAuthority[16];
  char16_t validFrom[10];
  char16_t validTo[10];
};

// Kind 2: foreign permanent resident identity card.
struct ForeignCardInfo {
  char16_t englishName[62];
  char16_t genderCode[2];
  char16_t genderText[4];
  char16_t cardNumber[16];
  char16_t nationalityCode[4];
  char16_t nationalityText[20];
  char16_t chineseName[16];
  char16_t validFrom[10];
  char16_t validTo[10];
  char16_t birthDate[10];
  char16_t cardVersion[4];
  char16_t authorityCode[6];
  char16_t authorityText[48];
};

// Kind 3: residence permit for Hong Kong, Macao and Taiwan residents.
struct HmtPermitInfo {
  char16_t name[16];
  char16_t genderCode[2];
  char16_t genderText[2];
  char16_t birthDate[10];
  char16_t address[36];
  char16_t idNumber[20];
  char16_t issuingAuthority[16];
  char16_t validFrom[10];
  char16_t validTo[10];
  char16_t passNumber[10];
  char16_t issueCount[4];
};

// Each decoder reads the first 256 bytes of `text` and never fails.
ResidentCardInfo DecodeResidentCard(const std::uint8_t* text);
ForeignCardInfo DecodeForeignCard(const std::uint8_t* text);
HmtPermitInfo DecodeHmtPermit(const std::uint8_t* text);

// Deletes every U+0020 from `field` in place, keeping the order of the rest.
// Tabs, U+3000 and other white space stay.
void RemoveSpaces(char16_t* field);

// Cuts `field` after its last unit that is not U+0020.
void TrimTrailingSpaces(char16_t* field);

// Converts the leading decimal integer of `text` as the C library's
// wide-string-to-long conversion does with base 10: leading white space
// skipped, an optional sign, digits up to the first non-digit, 0 when there is
// no digit. Values beyond the 32-bit range saturate, as a 32-bit long does.
std::int32_t ParseLeadingInteger(const char16_t* text);

inline constexpr std::size_t kNationNameCapacity = 10;
inline constexpr std::size_t kCountryNameCapacity = 20;

// Writes the nation name of `code` ("其他" for codes without a name).
void LookupNationName(std::int32_t code, char16_t (&out)[kNationNameCapacity]);

// Writes the Chinese name of the country whose key equals `code` exactly, or
// the empty string when there is none.
void LookupCountryName(char16_t (&out)[kCountryNameCapacity], const char16_t* code);

}  // namespace talvex
