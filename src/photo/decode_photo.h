// Writes the card's compressed photo to a file and has the vendor's decoder
// library turn it into a bitmap beside it ("image.bmp" for "image.wlt").
#pragma once

#include <cstdint>
#include <span>

#include "core/result.h"

namespace talvex {

// photo: the card's compressed photo block, written to photoPath as it is.
// selector: the transport it came from (below 1000 a serial port).
ResultCode DecodePhoto(std::span<const std::uint8_t> photo, const char16_t* photoPath,
                       std::int32_t selector);

}  // namespace talvex
