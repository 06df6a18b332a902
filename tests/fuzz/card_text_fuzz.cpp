// The three card decoders and result text builders on any 256-byte text
// block (shorter inputs are padded with spaces, longer ones cut). Every field
// must end inside its array, and every result text must stay inside its
// buffer, be valid UTF-8 and start with its kind's prefix.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "card/card_records.h"
#include "card/result_text.h"

namespace {

template <std::size_t N>
void CheckField(const char16_t (&field)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (field[i] == 0) return;
  }
  std::abort();
}

template <typename... Fields>
void CheckFields(const Fields&... fields) {
  (CheckField(fields), ...);
}

// Well-formed UTF-8 without surrogates or overlong forms.
bool ValidUtf8(const unsigned char* s, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

using Builder = void (*)(char*&, const std::uint8_t*);

// Whether any code unit of the block is '|' (then a field carries one of its
// own and the separators cannot be counted).
bool HasBar(const std::uint8_t* block) {
  for (std::size_t i = 0; i + 1 < talvex::kCardTextSize; i += 2) {
    if (block[i] == '|' && block[i + 1] == 0) return true;
  }
  return false;
}

void CheckText(Builder build, const std::uint8_t* block, const char* prefix, std::size_t fields) {
  // Exactly the capacity the card read gives the builders.
  std::unique_ptr<char[]> buffer(new char[talvex::kResultTextCapacity]);
  // As the card read leaves it: an empty string, garbage behind it.
  std::memset(buffer.get(), 'x', talvex::kResultTextCapacity);
  buffer[0] = '\0';
  char* cursor = buffer.get();
  build(cursor, block);
  if (cursor < buffer.get() || cursor >= buffer.get() + talvex::kResultTextCapacity) std::abort();
  if (*cursor != '\0') std::abort();
  const std::size_t length = static_cast<std::size_t>(cursor - buffer.get());
  if (std::strlen(buffer.get()) != length) std::abort();
  if (std::strncmp(buffer.get(), prefix, std::strlen(prefix)) != 0) std::abort();
  if (!ValidUtf8(reinterpret_cast<const unsigned char*>(buffer.get()), length)) std::abort();
  // The prefix's two separators and at most one per field.
  std::size_t bars = 0;
  for (std::size_t i = 0; i < length; ++i) bars += buffer[i] == '|';
  if (!HasBar(block) && bars > fields + 2) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A block of exactly 256 bytes, so that a read past it is seen.
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[talvex::kCardTextSize]);
  for (std::size_t i = 0; i < talvex::kCardTextSize; ++i) block[i] = i % 2 == 0 ? 0x20 : 0x00;
  std::memcpy(block.get(), data, size < talvex::kCardTextSize ? size : talvex::kCardTextSize);

  const talvex::ResidentCardInfo r = talvex::DecodeResidentCard(block.get());
  CheckFields(r.name, r.genderCode, r.genderText, r.nationCode, r.nationName, r.birthDate,
              r.address, r.idNumber, r.issuingAuthority, r.validFrom, r.validTo);
  const talvex::ForeignCardInfo f = talvex::DecodeForeignCard(block.get());
  CheckFields(f.englishName, f.genderCode, f.genderText, f.cardNumber, f.nationalityCode,
              f.nationalityText, f.chineseName, f.validFrom, f.validTo, f.birthDate, f.cardVersion,
              f.authorityCode, f.authorityText);
  const talvex::HmtPermitInfo h = talvex::DecodeHmtPermit(block.get());
  CheckFields(h.name, h.genderCode, h.genderText, h.birthDate, h.address, h.idNumber,
              h.issuingAuthority, h.validFrom, h.validTo, h.passNumber, h.issueCount);

  CheckText(talvex::BuildResidentText, block.get(), "0|1|", 11);
  CheckText(talvex::BuildForeignText, block.get(), "0|2|", 13);
  CheckText(talvex::BuildHmtText, block.get(), "0|3|", 11);
  return 0;
}
