// Decoding of the 256-byte card text block into the record of each card kind.
#include "card/card_records.h"

#include <climits>
#include <cstring>

#include "card/result_text.h"

namespace talvex {
namespace {

// One unit of the block, little-endian, whatever the host's byte order.
inline char16_t UnitAt(const std::uint8_t* text, std::size_t byteOffset) {
  return static_cast<char16_t>(text[byteOffset] | (text[byteOffset + 1] << 8));
}

// Copies the card field of `Units` units at byte `Offset` into `out` and
// terminates it; a NUL unit in the field ends the string there. The layout is
// checked against the block size and the field capacity at build time.
template <std::size_t Offset, std::size_t Units, std::size_t N>
void CopyField(char16_t (&out)[N], const std::uint8_t* text) {
  static_assert(Offset % 2 == 0, "card fields start on a unit boundary");
  static_assert(Offset + 2 * Units <= kCardTextSize, "card field runs past the text block");
  static_assert(Units < N, "record field too small for the card field and its terminator");
  std::size_t i = 0;
  for (; i < Units; ++i) {
    char16_t unit = UnitAt(text, Offset + 2 * i);
    if (unit == 0) break;
    out[i] = unit;
  }
  out[i] = 0;
}

template <std::size_t N>
void SetText(char16_t (&out)[N], const char16_t* s) {
  std::size_t i = 0;
  for (; i + 1 < N && s[i] != 0; ++i) out[i] = s[i];
  out[i] = 0;
}

// Appends `s` to the string in `out`, cutting it at the capacity.
template <std::size_t N>
void AppendText(char16_t (&out)[N], const char16_t* s) {
  std::size_t i = 0;
  while (i < N && out[i] != 0) ++i;
  for (; i + 1 < N && *s != 0; ++i, ++s) out[i] = *s;
  if (i < N) out[i] = 0;
}

template <typename Record>
void Clear(Record& record) {
  // Every member is a char16_t array: zero bytes make every field empty.
  std::memset(static_cast<void*>(&record), 0, sizeof record);
}

bool IsCSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

}  // namespace

void RemoveSpaces(char16_t* field) {
  char16_t* read = field;
  while (*read != 0 && *read != u' ') ++read;
  if (*read == 0) return;  // no space: untouched
  char16_t* write = read;
  for (; *read != 0; ++read) {
    if (*read != u' ') *write++ = *read;
  }
  *write = 0;
}

void TrimTrailingSpaces(char16_t* field) {
  char16_t* end = field;
  for (char16_t* p = field; *p != 0; ++p) {
    if (*p != u' ') end = p + 1;
  }
  *end = 0;
}

std::int32_t ParseLeadingInteger(const char16_t* text) {
  const char16_t* p = text;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == u'+' || *p == u'-') {
    negative = *p == u'-';
    ++p;
  }
  // Accumulate the magnitude in 64 bits and stop growing once it is past the
  // 32-bit range; the result saturates there.
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(INT32_MAX) + 1;
  std::int64_t magnitude = 0;
  for (; *p >= u'0' && *p <= u'9'; ++p) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (*p - u'0');
  }
  if (negative) {
    return magnitude >= kLimit ? INT32_MIN : static_cast<std::int32_t>(-magnitude);
  }
  return magnitude > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(magnitude);
}

namespace {

// Kinds 1 and 3 share the layout of their first 220 bytes (kind 3 leaves the
// nation code unread) and the single-character gender text.
template <typename Record>
void DecodeSharedFields(Record& r, const std::uint8_t* text) {
  CopyField<0, 15>(r.name, text);
  CopyField<30, 1>(r.genderCode, text);
  CopyField<36, 8>(r.birthDate, text);
  CopyField<52, 35>(r.address, text);
  CopyField<122, 18>(r.idNumber, text);
  CopyField<158, 15>(r.issuingAuthority, text);
  CopyField<188, 8>(r.validFrom, text);
  CopyField<204, 8>(r.validTo, text);
}

template <typename Record>
void SetSingleCharacterGender(Record& r) {
  if (r.genderCode[0] == u'1') {
    SetText(r.genderText, u"男");
  } else if (r.genderCode[0] == u'2') {
    SetText(r.genderText, u"女");
  }
}

}  // namespace

ResidentCardInfo DecodeResidentCard(const std::uint8_t* text) {
  ResidentCardInfo r;
  Clear(r);
  DecodeSharedFields(r, text);
  CopyField<32, 2>(r.nationCode, text);

  SetSingleCharacterGender(r);
  LookupNationName(ParseLeadingInteger(r.nationCode), r.nationName);

  RemoveSpaces(r.name);
  RemoveSpaces(r.address);
  RemoveSpaces(r.issuingAuthority);
  RemoveSpaces(r.validTo);
  return r;
}

ForeignCardInfo DecodeForeignCard(const std::uint8_t* text) {
  ForeignCardInfo r;
  Clear(r);
  CopyField<0, 60>(r.englishName, text);
  CopyField<120, 1>(r.genderCode, text);
  CopyField<122, 15>(r.cardNumber, text);
  CopyField<152, 3>(r.nationalityCode, text);
  CopyField<158, 15>(r.chineseName, text);
  CopyField<188, 8>(r.validFrom, text);
  CopyField<204, 8>(r.validTo, text);
  CopyField<220, 8>(r.birthDate, text);
  CopyField<236, 2>(r.cardVersion, text);
  CopyField<240, 4>(r.authorityCode, text);

  if (r.genderCode[0] == u'1') {
    SetText(r.genderText, u"男/M");
  } else if (r.genderCode[0] == u'2') {
    SetText(r.genderText, u"女/F");
  }
  char16_t country[kCountryNameCapacity];
  LookupCountryName(country, r.nationalityCode);
  SetText(r.nationalityText, country);
  AppendText(r.nationalityText, u"/");
  AppendText(r.nationalityText, r.nationalityCode);
  SetText(r.authorityText, u"公安部/Ministry of Public Security");

  TrimTrailingSpaces(r.englishName);
  RemoveSpaces(r.chineseName);
  RemoveSpaces(r.validTo);
  return r;
}

HmtPermitInfo DecodeHmtPermit(const std::uint8_t* text) {
  HmtPermitInfo r;
  Clear(r);
  DecodeSharedFields(r, text);
  CopyField<220, 9>(r.passNumber, text);
  CopyField<238, 2>(r.issueCount, text);

  SetSingleCharacterGender(r);

  RemoveSpaces(r.name);
  RemoveSpaces(r.address);
  RemoveSpaces(r.issuingAuthority);
  RemoveSpaces(r.validTo);
  RemoveSpaces(r.passNumber);
  return r;
}

}  // namespace talvex
