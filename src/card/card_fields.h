// The field table of each card kind: one row per record field, in the order
// of the result text. A row says where the field sits in the record, where the
// card puts it in the 256-byte text block and which space rule it gets. The
// decoders copy the block fields by these rows and the result text walks the
// same rows, so a kind's fields are listed here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "card/card_records.h"
#include "card/result_text.h"

namespace talvex {

enum class SpaceRule : std::uint8_t {
  kKeep,          // as the card gives it
  kRemoveAll,     // RemoveSpaces
  kTrimTrailing,  // TrimTrailingSpaces
};

struct CardField {
  std::size_t member;       // byte offset of the record's char16_t array
  std::size_t capacity;     // its size in units, terminator included
  std::size_t blockOffset;  // byte offset of the field in the text block
  std::size_t units;        // units the card gives; 0 when the decoder derives the field
  SpaceRule spaces;
};

// A record field the card gives: `units` units at byte `at` of the block.
#define TALVEX_CARD_FIELD(Record, m, at, units, rule)                                   \
  CardField {                                                                           \
    offsetof(Record, m), std::extent_v<decltype(Record::m)>, at, units, SpaceRule::rule \
  }
// A record field the decoder derives from others (a text for a code).
#define TALVEX_DERIVED_FIELD(Record, m)                                             \
  CardField {                                                                       \
    offsetof(Record, m), std::extent_v<decltype(Record::m)>, 0, 0, SpaceRule::kKeep \
  }

inline constexpr CardField kResidentFields[] = {
    TALVEX_CARD_FIELD(ResidentCardInfo, name, 0, 15, kRemoveAll),
    TALVEX_CARD_FIELD(ResidentCardInfo, genderCode, 30, 1, kKeep),
    TALVEX_DERIVED_FIELD(ResidentCardInfo, genderText),
    TALVEX_CARD_FIELD(ResidentCardInfo, nationCode, 32, 2, kKeep),
    TALVEX_DERIVED_FIELD(ResidentCardInfo, nationName),
    TALVEX_CARD_FIELD(ResidentCardInfo, birthDate, 36, 8, kKeep),
    TALVEX_CARD_FIELD(ResidentCardInfo, address, 52, 35, kRemoveAll),
    TALVEX_CARD_FIELD(ResidentCardInfo, idNumber, 122, 18, kKeep),
    TALVEX_CARD_FIELD(ResidentCardInfo, issuingAuthority, 158, 15, kRemoveAll),
    TALVEX_CARD_FIELD(ResidentCardInfo, validFrom, 188, 8, kKeep),
    TALVEX_CARD_FIELD(ResidentCardInfo, validTo, 204, 8, kRemoveAll),
};

inline constexpr CardField kForeignFields[] = {
    TALVEX_CARD_FIELD(ForeignCardInfo, englishName, 0, 60, kTrimTrailing),
    TALVEX_CARD_FIELD(ForeignCardInfo, genderCode, 120, 1, kKeep),
    TALVEX_DERIVED_FIELD(ForeignCardInfo, genderText),
    TALVEX_CARD_FIELD(ForeignCardInfo, cardNumber, 122, 15, kKeep),
    TALVEX_CARD_FIELD(ForeignCardInfo, nationalityCode, 152, 3, kKeep),
    TALVEX_DERIVED_FIELD(ForeignCardInfo, nationalityText),
    TALVEX_CARD_FIELD(ForeignCardInfo, chineseName, 158, 15, kRemoveAll),
    TALVEX_CARD_FIELD(ForeignCardInfo, validFrom, 188, 8, kKeep),
    TALVEX_CARD_FIELD(ForeignCardInfo, validTo, 204, 8, kRemoveAll),
    TALVEX_CARD_FIELD(ForeignCardInfo, birthDate, 220, 8, kKeep),
    TALVEX_CARD_FIELD(ForeignCardInfo, cardVersion, 236, 2, kKeep),
    TALVEX_CARD_FIELD(ForeignCardInfo, authorityCode, 240, 4, kKeep),
    TALVEX_DERIVED_FIELD(ForeignCardInfo, authorityText),
};

inline constexpr CardField kHmtFields[] = {
    TALVEX_CARD_FIELD(HmtPermitInfo, name, 0, 15, kRemoveAll),
    TALVEX_CARD_FIELD(HmtPermitInfo, genderCode, 30, 1, kKeep),
    TALVEX_DERIVED_FIELD(HmtPermitInfo, genderText),
    TALVEX_CARD_FIELD(HmtPermitInfo, birthDate, 36, 8, kKeep),
    TALVEX_CARD_FIELD(HmtPermitInfo, address, 52, 35, kRemoveAll),
    TALVEX_CARD_FIELD(HmtPermitInfo, idNumber, 122, 18, kKeep),
    TALVEX_CARD_FIELD(HmtPermitInfo, issuingAuthority, 158, 15, kRemoveAll),
    TALVEX_CARD_FIELD(HmtPermitInfo, validFrom, 188, 8, kKeep),
    TALVEX_CARD_FIELD(HmtPermitInfo, validTo, 204, 8, kRemoveAll),
    TALVEX_CARD_FIELD(HmtPermitInfo, passNumber, 220, 9, kRemoveAll),
    TALVEX_CARD_FIELD(HmtPermitInfo, issueCount, 238, 2, kKeep),
};

#undef TALVEX_CARD_FIELD
#undef TALVEX_DERIVED_FIELD

// The rows of a record type's table.
template <typename Record>
constexpr const auto& FieldsOf() {
  if constexpr (std::is_same_v<Record, ResidentCardInfo>) {
    return kResidentFields;
  } else if constexpr (std::is_same_v<Record, ForeignCardInfo>) {
    return kForeignFields;
  } else {
    static_assert(std::is_same_v<Record, HmtPermitInfo>, "not a card record");
    return kHmtFields;
  }
}

// Where a row's string lives in `record`.
template <typename Record>
char16_t* FieldText(Record& record, const CardField& field) {
  return reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(&record) + field.member);
}
template <typename Record>
const char16_t* FieldText(const Record& record, const CardField& field) {
  return reinterpret_cast<const char16_t*>(reinterpret_cast<const unsigned char*>(&record) +
                                           field.member);
}

namespace card_fields_detail {

constexpr bool BlockFieldFits(const CardField& f) {
  return f.blockOffset % 2 == 0 && f.blockOffset + 2 * f.units <= kCardTextSize &&
         f.units < f.capacity;
}

constexpr bool Overlap(const CardField& a, const CardField& b) {
  if (a.units == 0 || b.units == 0) return false;
  return a.blockOffset < b.blockOffset + 2 * b.units && b.blockOffset < a.blockOffset + 2 * a.units;
}

}  // namespace card_fields_detail

// A table is sound when every block field lies inside the block on a unit
// boundary, leaves room for its terminator in the record and overlaps no
// other block field, and the rows name every member of the record once (the
// record holds only char16_t arrays, so distinct rows whose capacities add up
// to the record's size cover it).
constexpr bool FieldTableIsSound(const CardField* fields, std::size_t count,
                                 std::size_t recordSize) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const CardField& f = fields[i];
    if (f.units != 0 && !card_fields_detail::BlockFieldFits(f)) return false;
    for (std::size_t j = i + 1; j < count; ++j) {
      if (f.member == fields[j].member || card_fields_detail::Overlap(f, fields[j])) return false;
    }
    units += f.capacity;
  }
  return units * sizeof(char16_t) == recordSize;
}

template <typename Record>
constexpr bool FieldTableIsSound() {
  return FieldTableIsSound(FieldsOf<Record>(), std::size(FieldsOf<Record>()), sizeof(Record));
}

static_assert(FieldTableIsSound<ResidentCardInfo>(), "resident card field table");
static_assert(FieldTableIsSound<ForeignCardInfo>(), "foreign card field table");
static_assert(FieldTableIsSound<HmtPermitInfo>(), "residence permit field table");

}  // namespace talvex
