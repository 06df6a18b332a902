// The card a simulated reader holds: the 256-byte text block and the
// 1024-byte photo block that its read-base-message answer carries, built from
// readable field values (built-in samples or a card file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace talvex::sim {

inline constexpr std::size_t kTextBlockSize = 256;
inline constexpr std::size_t kPhotoBlockSize = 1024;

struct CardImage {
  std::uint8_t text[kTextBlockSize];
  std::uint8_t photo[kPhotoBlockSize];
};

enum class SampleKind { Resident, Foreign, Hmt };

// The built-in cards, all with made-up values:
//   Resident: 张三, male, nation 01, born 20000101, 某省某市某区某路1号,
//             000000200001010000, 某市公安局, valid 20200101 to 20400101.
//   Foreign:  DOE JANE, female, card number of fifteen zeros, USA, 多伊,
//             valid 20200101 to 20300101, born 19800101, version 01,
//             authority 0000.
//   Hmt:      李四, male, born 19900101, 某省某市某区某路2号,
//             000000199001010000, 某市公安局, valid 20200101 to 20250101,
//             pass H00000000, issue count 01.
// Each carries the sample photo of its kind (variant 0, 1, 2).
CardImage SampleCard(SampleKind kind);

// The sample photo block of `variant` (0, 1 or 2).
void SamplePhoto(int variant, std::uint8_t (&block)[kPhotoBlockSize]);

// Reads a card file (see README.md: `key = value` lines, `kind=resident|
// foreign|hmt`, one key per card field, optional `photo=sample|FILE.bmp`).
// On failure returns false, leaves *card unchanged and sets *error to a
// message naming the file, the line and the problem.
bool LoadCardFile(const std::string& path, CardImage* card, std::string* error);

// The same from text already in memory; relative photo paths are taken from
// `baseDir` ("" for the working directory) and messages name `sourceName`.
bool ParseCardText(std::string_view content, const std::string& baseDir,
                   const std::string& sourceName, CardImage* card, std::string* error);

// Card kind name as used in card files and on the command line.
const char* SampleKindName(SampleKind kind);
bool ParseSampleKind(std::string_view name, SampleKind* kind);

}  // namespace talvex::sim
