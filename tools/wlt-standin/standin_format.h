// The stand-in photo format: a small picture format of our own that fits a
// 102 x 126 portrait into the 1024 bytes a card's photo block holds. The
// reader simulator serves it and the stand-in decoder library turns it back
// into a bitmap. It is NOT the format of a real card photo and cannot decode
// one; see README.md beside this file for the byte layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talvex::standin {

// The picture the format carries, always this size.
inline constexpr int kWidth = 102, kHeight = 126;

// The stored low-resolution grid: every cell stands for 3 x 3 pixels.
inline constexpr int kGridWidth = 34, kGridHeight = 42;
inline constexpr int kPaletteSize = 32;
inline constexpr int kIndexBits = 5;

inline constexpr std::uint8_t kMagic[4] = {'T', 'V', 'X', 'P'};
inline constexpr std::uint8_t kVersion = 1;

// Byte layout of a block (little-endian where it matters).
inline constexpr std::size_t kHeaderSize = 8;  // magic, version, grid w, grid h, colours
inline constexpr std::size_t kPaletteOffset = kHeaderSize;
inline constexpr std::size_t kIndexOffset = kPaletteOffset + kPaletteSize * 3;
inline constexpr std::size_t kIndexBytes = (kGridWidth * kGridHeight * kIndexBits + 7) / 8;
inline constexpr std::size_t kChecksumOffset = kIndexOffset + kIndexBytes;
// Bytes a decoder needs; the rest of a 1024-byte block is zero.
inline constexpr std::size_t kEncodedSize = kChecksumOffset + 4;
inline constexpr std::size_t kBlockSize = 1024;
static_assert(kEncodedSize <= kBlockSize);

// One of three recognisable made-up ID-style portraits (head, hair, eyes,
// mouth, shoulders on a plain background); variant 0, 1 or 2 (others wrap).
void MakeSamplePhoto(int variant, std::uint8_t (&block)[1024]);

// Encodes a 102 x 126 RGB picture (rows top to bottom, 3 bytes per pixel),
// lossily: averaged down to the grid and reduced to 32 colours. False only
// when rgbTopDown is null.
bool EncodeStandinPhoto(const std::uint8_t* rgbTopDown, std::uint8_t (&block)[1024]);

// Decodes a block into 102 x 126 RGB pixels, rows top to bottom, upscaled
// smoothly. False (and *rgbTopDown untouched) unless the data is a complete,
// intact block of this format; bytes after the encoded part are ignored.
bool DecodeStandinPhoto(const std::uint8_t* data, std::size_t size,
                        std::vector<std::uint8_t>* rgbTopDown);

// FNV-1a over the block's bytes before the checksum field.
std::uint32_t StandinChecksum(const std::uint8_t* data, std::size_t size);

}  // namespace talvex::standin
