#include "reader-sim/bitmap_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace talvex::sim {
namespace {

std::uint32_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8);
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return U16(b, at) | (U16(b, at + 2) << 16);
}

constexpr std::int64_t kMaxSide = 20000;

}  // namespace

bool DecodeBitmapScaled(const std::vector<std::uint8_t>& file, int width, int height,
                        std::vector<std::uint8_t>* rgbTopDown, std::string* why) {
  if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') {
    *why = "not a BMP file";
    return false;
  }
  const std::uint32_t offBits = U32(file, 10);
  const std::uint32_t headerSize = U32(file, 14);
  if (headerSize < 40 || 14 + static_cast<std::uint64_t>(headerSize) > file.size()) {
    *why = "unsupported BMP header";
    return false;
  }
  const std::int64_t w = static_cast<std::int32_t>(U32(file, 18));
  const std::int64_t h = static_cast<std::int32_t>(U32(file, 22));
  const std::uint32_t bits = U16(file, 28);
  const std::uint32_t compression = U32(file, 30);
  if (compression != 0 || (bits != 24 && bits != 32)) {
    *why = "only uncompressed 24- or 32-bit BMP files are supported";
    return false;
  }
  const bool topDown = h < 0;
  const std::int64_t rows = topDown ? -h : h;
  if (w <= 0 || rows <= 0 || w > kMaxSide || rows > kMaxSide) {
    *why = "picture size out of range";
    return false;
  }
  const std::uint64_t bytesPerPixel = bits / 8;
  const std::uint64_t stride = (static_cast<std::uint64_t>(w) * bytesPerPixel + 3) / 4 * 4;
  if (static_cast<std::uint64_t>(offBits) + stride * static_cast<std::uint64_t>(rows) >
      file.size()) {
    *why = "the file is shorter than its picture";
    return false;
  }
  rgbTopDown->assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0);
  for (int y = 0; y < height; ++y) {
    const std::int64_t y0 = y * rows / height;
    const std::int64_t y1 = std::max<std::int64_t>(y0 + 1, (y + 1) * rows / height);
    for (int x = 0; x < width; ++x) {
      const std::int64_t x0 = x * w / width;
      const std::int64_t x1 = std::max<std::int64_t>(x0 + 1, (x + 1) * w / width);
      std::uint64_t sum[3] = {0, 0, 0};
      for (std::int64_t sy = y0; sy < y1; ++sy) {
        const std::int64_t fileRow = topDown ? sy : rows - 1 - sy;
        const std::uint64_t rowAt = offBits + static_cast<std::uint64_t>(fileRow) * stride;
        for (std::int64_t sx = x0; sx < x1; ++sx) {
          const std::uint64_t at = rowAt + static_cast<std::uint64_t>(sx) * bytesPerPixel;
          sum[0] += file[at + 2];  // BMP pixels are blue, green, red
          sum[1] += file[at + 1];
          sum[2] += file[at];
        }
      }
      const std::uint64_t n = static_cast<std::uint64_t>((y1 - y0) * (x1 - x0));
      std::uint8_t* out = &(*rgbTopDown)[(static_cast<std::size_t>(y) * width + x) * 3];
      for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>((sum[c] + n / 2) / n);
    }
  }
  return true;
}

bool LoadBitmapScaled(const std::string& path, int width, int height,
                      std::vector<std::uint8_t>* rgbTopDown, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot open the file";
    return false;
  }
  std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  return DecodeBitmapScaled(file, width, height, rgbTopDown, why);
}

}  // namespace talvex::sim
