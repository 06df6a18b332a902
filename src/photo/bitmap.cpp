#include "photo/bitmap.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/fs.h"

namespace talvex {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::uint32_t kLargestHeader = 124;

std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t I32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(U32(p));
}

std::uint16_t U16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

std::uint8_t* LoadBitmapFile(const char16_t* path, std::uint8_t*& pixels) {
  pixels = nullptr;
  platform::File file = platform::File::OpenForReading(path);
  if (!file.IsOpen()) return nullptr;

  std::uint8_t head[kFileHeaderSize + kInfoHeaderSize];
  std::size_t got = 0;
  if (!file.Read(head, sizeof head, &got) || got != sizeof head || head[0] != 'B' || head[1] != 'M')
    return nullptr;

  const std::uint8_t* info = head + kFileHeaderSize;
  const std::uint32_t fileSize = U32(head + 2);
  const std::uint32_t pixelOffset = U32(head + 10);
  const std::uint32_t headerSize = U32(info);
  const std::int64_t width = I32(info + kBitmapWidthOffset);
  const std::int64_t height = I32(info + kBitmapHeightOffset);
  if (headerSize < kInfoHeaderSize || headerSize > kLargestHeader) return nullptr;
  if (U16(info + kBitmapBitsPerPixelOffset) != 24) return nullptr;
  if (pixelOffset != headerSize + kFileHeaderSize) return nullptr;
  // Top-down (negative height) and mirrored rows are not something the
  // decoder writes; refusing them keeps every size below non-negative.
  if (width < 0 || height < 0) return nullptr;
  // An image beyond 2 GiB is no photo; bounding it keeps every size in range.
  constexpr std::int64_t kLargestImage = std::numeric_limits<std::int32_t>::max() - kLargestHeader;
  const std::int64_t stride = BitmapStride(width);
  if (height != 0 && stride > kLargestImage / height) return nullptr;
  const std::int64_t imageBytes = stride * height;
  if (static_cast<std::int64_t>(fileSize) < pixelOffset + imageBytes) return nullptr;

  const std::size_t blockSize = headerSize + static_cast<std::size_t>(imageBytes);
  auto* block = static_cast<std::uint8_t*>(std::malloc(blockSize));
  if (block == nullptr) return nullptr;
  std::memcpy(block, info, kInfoHeaderSize);
  const std::size_t rest = blockSize - kInfoHeaderSize;
  if (!file.Read(block + kInfoHeaderSize, rest, &got) || got != rest) {
    std::free(block);
    return nullptr;
  }
  file.Close();
  pixels = block + headerSize;
  return block;
}

}  // namespace talvex
