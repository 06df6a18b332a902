// The UTF-8 result text: "0|<kind>|" and every field of the card's record,
// each followed by '|'.
#include "card/result_text.h"

#include <cstring>
#include <iterator>

#include "card/card_fields.h"
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
constexpr std::size_t WorstCaseText() {
  constexpr std::size_t fieldCount = std::size(FieldsOf<Record>());
  return 4 + 3 * (sizeof(Record) / sizeof(char16_t) - fieldCount) + fieldCount;
}
static_assert(WorstCaseText<ResidentCardInfo>() < kResultTextCapacity);
static_assert(WorstCaseText<ForeignCardInfo>() < kResultTextCapacity);
static_assert(WorstCaseText<HmtPermitInfo>() < kResultTextCapacity);

// "0|<kind>|" and then the record's fields in the order of its table.
template <typename Record>
void AppendRecord(char*& cursor, const char16_t* prefix, const Record& record) {
  AppendField(cursor, prefix);
  for (const CardField& field : FieldsOf<Record>()) AppendField(cursor, FieldText(record, field));
}

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
  AppendRecord(cursor, u"0|1", DecodeResidentCard(text));
}

void BuildForeignText(char*& cursor, const std::uint8_t* text) {
  AppendRecord(cursor, u"0|2", DecodeForeignCard(text));
}

void BuildHmtText(char*& cursor, const std::uint8_t* text) {
  AppendRecord(cursor, u"0|3", DecodeHmtPermit(text));
}

}  // namespace talvex
