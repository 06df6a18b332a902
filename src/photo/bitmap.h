// Loading the decoder's 24-bit bitmap file into one memory block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvex {

// Offsets in the information header (the loaded block starts with it).
inline constexpr std::size_t kBitmapWidthOffset = 4;          // signed 32-bit
inline constexpr std::size_t kBitmapHeightOffset = 8;         // signed 32-bit
inline constexpr std::size_t kBitmapBitsPerPixelOffset = 14;  // unsigned 16-bit

// Bytes of one stored row of `width` 3-byte pixels, padded to a multiple of 4.
constexpr std::int64_t BitmapStride(std::int64_t width) {
  return (width * 3 + 3) & ~std::int64_t{3};
}

// Loads a "BM" file with a 40- to 124-byte information header, 24 bits per
// pixel and the pixels directly behind the headers. Returns a block allocated
// with malloc that holds the information header followed by the bottom-up
// rows, with `pixels` set to the first row; the caller frees the block. Null
// (pixels null too) when the file is missing, short or of another layout, when
// width or height is negative, when the image would exceed 2 GiB, or when the
// memory cannot be had.
std::uint8_t* LoadBitmapFile(const char16_t* path, std::uint8_t*& pixels);

}  // namespace talvex
