// Writes the card's compressed photo to a file and has the vendor's decoder
// library turn it into a bitmap beside it ("image.bmp" for "image.wlt").
#pragma once

#include <cstdint>

#include "card/result_codes.h"

namespace talvex {

// block: the read block (T and P, big-endian, then the text and photo blocks).
// selector: the transport the block came from (below 1000 a serial port).
ResultCode DecodePhoto(const std::uint8_t* block, const char16_t* photoPath, std::int32_t selector);

}  // namespace talvex
