// The UTF-8 result text: "0|<kind>|" and every field of the card's record,
// each followed by '|'.
#include "card/result_text.h"

#include <cstring>

#include "card/card_records.h"
#include "platform/utf.h"

namespace talvex {
namespace {

constexpr std::size_t kFieldScratchSize = 200;

// The longest text a record can produce: every field full of units that take
// three UTF-8 bytes each, plus its separator, plus the prefix item "0|k|".
// The appender writes without bounds checks, so the record layouts must keep
// this under the buffer size.
template <typename Record>
constexpr std::size_t WorstCaseText(std::size_t fieldCount) {
  return 4 + 3 * (sizeof(Record) / sizeof(char16_t) - fieldCount) + fieldCount;
}
static_assert(WorstCaseText<ResidentCardInfo>(11) < kResultTextCapacity);
static_assert(WorstCaseText<ForeignCardInfo>(13) < kResultTextCapacity);
static_assert(WorstCaseText<HmtPermitInfo>(11) < kResultTextCapacity);

}  // namespace

void AppendField(char*& cursor, const char16_t* field) {
  char scratch[kFieldScratchSize];
  std::size_t n = Utf16zToUtf8(field, scratch, sizeof scratch);
  if (n == 0) return;  // did not convert: neither the field nor its separator
  std::memcpy(cursor, scratch, n);
  cursor[n - 1] = '|';
  cursor[n] = '\0';
  cursor += n;
}

void BuildResidentText(char*& cursor, const std::uint8_t* text) {
  const ResidentCardInfo r = DecodeResidentCard(text);
  AppendField(cursor, u"0|1");
  AppendField(cursor, r.name);
  AppendField(cursor, r.genderCode);
  AppendField(cursor, r.genderText);
  AppendField(cursor, r.nationCode);
  AppendField(cursor, r.nationName);
  AppendField(cursor, r.birthDate);
  AppendField(cursor, r.address);
  AppendField(cursor, r.idNumber);
  AppendField(cursor, r.issuingAuthority);
  AppendField(cursor, r.validFrom);
  AppendField(cursor, r.validTo);
}

void BuildForeignText(char*& cursor, const std::uint8_t* text) {
  const ForeignCardInfo r = DecodeForeignCard(text);
  AppendField(cursor, u"0|2");
  AppendField(cursor, r.englishName);
  AppendField(cursor, r.genderCode);
  AppendField(cursor, r.genderText);
  AppendField(cursor, r.cardNumber);
  AppendField(cursor, r.nationalityCode);
  AppendField(cursor, r.nationalityText);
  AppendField(cursor, r.chineseName);
  AppendField(cursor, r.validFrom);
  AppendField(cursor, r.validTo);
  AppendField(cursor, r.birthDate);
  AppendField(cursor, r.cardVersion);
  AppendField(cursor, r.authorityCode);
  AppendField(cursor, r.authorityText);
}

void BuildHmtText(char*& cursor, const std::uint8_t* text) {
  const HmtPermitInfo r = DecodeHmtPermit(text);
  AppendField(cursor, u"0|3");
  AppendField(cursor, r.name);
  AppendField(cursor, r.genderCode);
  AppendField(cursor, r.genderText);
  AppendField(cursor, r.birthDate);
  AppendField(cursor, r.address);
  AppendField(cursor, r.idNumber);
  AppendField(cursor, r.issuingAuthority);
  AppendField(cursor, r.validFrom);
  AppendField(cursor, r.validTo);
  AppendField(cursor, r.passNumber);
  AppendField(cursor, r.issueCount);
}

}  // namespace talvex
