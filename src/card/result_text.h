// The UTF-8 result text of a successful card read: "0|<kind>|" and then every
// field of the card's record, each followed by "|".
#pragma once

#include <cstdint>

namespace talvex {

inline constexpr std::uint32_t kResultTextCapacity = 1024;
inline constexpr std::uint32_t kCardTextSize = 256;

// Appends `field` (NUL-terminated UTF-16) in UTF-8 and a '|' at cursor, keeps
// the buffer NUL-terminated and moves cursor to the terminator. A field that
// does not convert appends nothing, not even the separator.
void AppendField(char*& cursor, const char16_t* field);

// Decode the 256-byte card text block and append the prefix and the fields.
void BuildResidentText(char*& cursor, const std::uint8_t* text);
void BuildForeignText(char*& cursor, const std::uint8_t* text);
void BuildHmtText(char*& cursor, const std::uint8_t* text);

}  // namespace talvex
