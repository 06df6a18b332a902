// Decoding of the 256-byte card text block into the record of each card kind.
#include "card/card_records.h"

#include <climits>
#include <cstring>
#include <iterator>
#include <utility>

#include "card/card_fields.h"

namespace talvex {
namespace {

// One unit of the block, little-endian, whatever the host's byte order.
inline char16_t UnitAt(const std::uint8_t* text, std::size_t byteOffset) {
  return static_cast<char16_t>(text[byteOffset] | (text[byteOffset + 1] << 8));
}

// Copies the block field of row `F` into its record string, terminates it
// (a NUL unit in the field ends the string there) and applies the row's space
// rule. The row is a constant, so each copy compiles to fixed offsets and
// lengths; the table's soundness is checked at build time, so the copy stays
// inside the block and the record.
template <CardField F, typename Record>
void CopyField(Record& record, const std::uint8_t* text) {
  if constexpr (F.units != 0) {
    char16_t* out = FieldText(record, F);
    std::size_t i = 0;
    for (; i < F.units; ++i) {
      char16_t unit = UnitAt(text, F.blockOffset + 2 * i);
      if (unit == 0) break;
      out[i] = unit;
    }
    out[i] = 0;
    if constexpr (F.spaces == SpaceRule::kRemoveAll) RemoveSpaces(out);
    if constexpr (F.spaces == SpaceRule::kTrimTrailing) TrimTrailingSpaces(out);
  }
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

// A cleared record with every block field of its table copied and given its
// space rule; the fields the decoder derives stay empty.
template <typename Record>
Record DecodeBlockFields(const std::uint8_t* text) {
  Record r;
  Clear(r);
  constexpr auto& fields = FieldsOf<Record>();
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (CopyField<fields[I]>(r, text), ...);
  }
  (std::make_index_sequence<std::size(fields)>{});
  return r;
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
  ResidentCardInfo r = DecodeBlockFields<ResidentCardInfo>(text);
  SetSingleCharacterGender(r);
  LookupNationName(ParseLeadingInteger(r.nationCode), r.nationName);
  return r;
}

ForeignCardInfo DecodeForeignCard(const std::uint8_t* text) {
  ForeignCardInfo r = DecodeBlockFields<ForeignCardInfo>(text);
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
  return r;
}

HmtPermitInfo DecodeHmtPermit(const std::uint8_t* text) {
  HmtPermitInfo r = DecodeBlockFields<HmtPermitInfo>(text);
  SetSingleCharacterGender(r);
  return r;
}

}  // namespace talvex
