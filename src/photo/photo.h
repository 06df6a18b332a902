// The photo pipeline: bitmap file -> JPEG in memory -> Base64 text.
#pragma once

#include <cstdint>
#include <string>

#include "core/result.h"

namespace talvex {

// Encodes `length` bytes of `data` into `out` (capacity bytes, NUL included).
// Returns the characters written before the NUL, or 0 when capacity is too
// small (then nothing is written).
std::uint32_t Base64Encode(std::uint32_t length, const std::uint8_t* data, char* out,
                           std::uint32_t capacity);

// Loads the bitmap at bmpPath, compresses it to JPEG (96 x 96 dpi, quality
// 80) and replaces photoText with its Base64 text. 0, 285, 277 or 287; on
// failure photoText is left as it was.
ResultCode EncodePhoto(const char16_t* bmpPath, std::string& photoText);

}  // namespace talvex
