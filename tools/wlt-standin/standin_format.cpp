#include "wlt-standin/standin_format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace talvex::standin {
namespace {

constexpr int kCells = kGridWidth * kGridHeight;
constexpr int kScale = kWidth / kGridWidth;  // 3, and kHeight / kGridHeight too
static_assert(kWidth == kGridWidth * kScale && kHeight == kGridHeight * kScale);

using Rgb = std::array<int, 3>;

int Distance(const Rgb& a, const Rgb& b) {
  int d = 0;
  for (int c = 0; c < 3; ++c) d += (a[c] - b[c]) * (a[c] - b[c]);
  return d;
}

int Nearest(const Rgb& colour, const std::vector<Rgb>& palette) {
  int best = 0;
  int bestDistance = Distance(colour, palette[0]);
  for (int i = 1; i < static_cast<int>(palette.size()); ++i) {
    const int d = Distance(colour, palette[i]);
    if (d < bestDistance) {
      best = i;
      bestDistance = d;
    }
  }
  return best;
}

// Median cut over the cells, then a few rounds of k-means to settle the colours.
std::vector<Rgb> MakePalette(const std::vector<Rgb>& cells) {
  struct Box {
    int begin, end;
  };
  std::vector<Rgb> sorted = cells;
  std::vector<Box> boxes{{0, static_cast<int>(sorted.size())}};
  while (static_cast<int>(boxes.size()) < kPaletteSize) {
    int pick = -1, pickChannel = 0, pickRange = 0;
    for (int b = 0; b < static_cast<int>(boxes.size()); ++b) {
      for (int c = 0; c < 3; ++c) {
        int lo = 255, hi = 0;
        for (int i = boxes[b].begin; i < boxes[b].end; ++i) {
          lo = std::min(lo, sorted[i][c]);
          hi = std::max(hi, sorted[i][c]);
        }
        if (hi - lo > pickRange) {
          pick = b;
          pickChannel = c;
          pickRange = hi - lo;
        }
      }
    }
    if (pick < 0) break;  // every box holds one colour only
    Box box = boxes[pick];
    std::sort(
        sorted.begin() + box.begin, sorted.begin() + box.end,
        [pickChannel](const Rgb& a, const Rgb& b) { return a[pickChannel] < b[pickChannel]; });
    int mid = (box.begin + box.end) / 2;
    // Keep equal values on one side so that both halves are non-empty and distinct.
    while (mid > box.begin && sorted[mid - 1][pickChannel] == sorted[mid][pickChannel]) --mid;
    if (mid == box.begin) {
      mid = (box.begin + box.end) / 2;
      while (mid < box.end && sorted[mid - 1][pickChannel] == sorted[mid][pickChannel]) ++mid;
    }
    boxes[pick] = {box.begin, mid};
    boxes.push_back({mid, box.end});
  }
  std::vector<Rgb> palette;
  for (const Box& box : boxes) {
    Rgb sum{0, 0, 0};
    for (int i = box.begin; i < box.end; ++i)
      for (int c = 0; c < 3; ++c) sum[c] += sorted[i][c];
    const int n = box.end - box.begin;
    palette.push_back({(sum[0] + n / 2) / n, (sum[1] + n / 2) / n, (sum[2] + n / 2) / n});
  }
  for (int round = 0; round < 4; ++round) {
    std::vector<Rgb> sums(palette.size(), Rgb{0, 0, 0});
    std::vector<int> counts(palette.size(), 0);
    for (const Rgb& cell : cells) {
      const int k = Nearest(cell, palette);
      for (int c = 0; c < 3; ++c) sums[k][c] += cell[c];
      ++counts[k];
    }
    for (std::size_t k = 0; k < palette.size(); ++k) {
      if (counts[k] == 0) continue;
      for (int c = 0; c < 3; ++c) palette[k][c] = (sums[k][c] + counts[k] / 2) / counts[k];
    }
  }
  return palette;
}

void PutIndex(std::uint8_t* bits, int cell, int value) {
  for (int b = 0; b < kIndexBits; ++b) {
    const int pos = cell * kIndexBits + b;
    if (value & (1 << (kIndexBits - 1 - b)))
      bits[pos / 8] |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
  }
}

int GetIndex(const std::uint8_t* bits, int cell) {
  int value = 0;
  for (int b = 0; b < kIndexBits; ++b) {
    const int pos = cell * kIndexBits + b;
    value = (value << 1) | ((bits[pos / 8] >> (7 - pos % 8)) & 1);
  }
  return value;
}

// --- The sample portraits --------------------------------------------------

struct Look {
  Rgb background, skin, hair, clothes, lips, iris;
  int hairStyle;  // 0 short, 1 long, 2 receding with glasses
};

constexpr Look kLooks[3] = {
    {{246, 246, 246}, {236, 196, 164}, {28, 24, 22}, {34, 48, 92}, {186, 84, 84}, {40, 30, 24}, 0},
    {{204, 226, 246}, {244, 210, 182}, {70, 40, 22}, {176, 36, 48}, {204, 70, 90}, {60, 40, 20}, 1},
    {{226, 232, 222},
     {206, 160, 126},
     {168, 168, 172},
     {44, 86, 56},
     {150, 80, 70},
     {30, 30, 40},
     2},
};

bool InEllipse(double x, double y, double cx, double cy, double rx, double ry) {
  const double dx = (x - cx) / rx, dy = (y - cy) / ry;
  return dx * dx + dy * dy <= 1.0;
}

Rgb Shade(const Rgb& c, int delta) {
  return {std::clamp(c[0] + delta, 0, 255), std::clamp(c[1] + delta, 0, 255),
          std::clamp(c[2] + delta, 0, 255)};
}

// The colour of the portrait at point (x, y), painted back to front.
Rgb PortraitAt(const Look& look, double x, double y) {
  const bool head = InEllipse(x, y, 51, 52, 25, 31);
  Rgb colour = look.background;
  if (look.hairStyle == 1 && InEllipse(x, y, 51, 62, 33, 46) && y < 106) colour = look.hair;
  if (InEllipse(x, y, 51, 140, 56, 42)) colour = look.clothes;
  if (x >= 41 && x <= 61 && y >= 72 && y <= 104 && !InEllipse(x, y, 51, 140, 54, 38))
    colour = Shade(look.skin, -22);
  if (InEllipse(x, y, 51, 99, 11, 7) && y > 96) colour = Shade(look.skin, -22);  // collar gap
  if (InEllipse(x, y, 26, 55, 4.5, 8) || InEllipse(x, y, 76, 55, 4.5, 8))
    colour = Shade(look.skin, -12);
  if (head) colour = look.skin;
  // Hair in front of the head.
  switch (look.hairStyle) {
    case 0:
      if (InEllipse(x, y, 51, 42, 28, 25) && (y < 34 || !head) && y < 52) colour = look.hair;
      break;
    case 1:
      if (InEllipse(x, y, 51, 42, 29, 25) && (y < 33 || (!head && y < 80))) colour = look.hair;
      break;
    default:
      if (InEllipse(x, y, 51, 46, 28, 24) && !head && y < 62) colour = look.hair;
      if (head && y < 30 && InEllipse(x, y, 51, 34, 27, 12) && !InEllipse(x, y, 51, 32, 18, 12))
        colour = look.hair;
      break;
  }
  if (head) {
    const Rgb brow = Shade(look.hair, look.hairStyle == 2 ? -60 : 0);
    for (const double ex : {41.0, 61.0}) {
      if (InEllipse(x, y, ex, 42, 7.0, 2.0)) colour = brow;
      if (InEllipse(x, y, ex, 49, 6.5, 3.6)) colour = {250, 250, 250};
      if (InEllipse(x, y, ex, 49, 3.2, 3.2)) colour = look.iris;
      if (look.hairStyle == 2) {
        const double d = std::hypot(x - ex, y - 49);
        if (d >= 8.0 && d <= 9.8) colour = {50, 50, 56};
      }
    }
    if (look.hairStyle == 2 && x > 48 && x < 54 && y > 47.5 && y < 49.8) colour = {50, 50, 56};
    if (InEllipse(x, y, 51, 61, 3.5, 2.4)) colour = Shade(look.skin, -40);  // nose
    if (InEllipse(x, y, 51, 71, 8.5, 2.8)) colour = look.lips;
  }
  return colour;
}

}  // namespace

std::uint32_t StandinChecksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t hash = 2166136261u;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 16777619u;
  }
  return hash;
}

bool EncodeStandinPhoto(const std::uint8_t* rgbTopDown, std::uint8_t (&block)[1024]) {
  if (rgbTopDown == nullptr) return false;
  std::vector<Rgb> cells(kCells);
  for (int gy = 0; gy < kGridHeight; ++gy) {
    for (int gx = 0; gx < kGridWidth; ++gx) {
      Rgb sum{0, 0, 0};
      for (int dy = 0; dy < kScale; ++dy) {
        for (int dx = 0; dx < kScale; ++dx) {
          const std::uint8_t* p =
              rgbTopDown + ((gy * kScale + dy) * kWidth + (gx * kScale + dx)) * 3;
          for (int c = 0; c < 3; ++c) sum[c] += p[c];
        }
      }
      const int n = kScale * kScale;
      cells[gy * kGridWidth + gx] = {(sum[0] + n / 2) / n, (sum[1] + n / 2) / n,
                                     (sum[2] + n / 2) / n};
    }
  }
  const std::vector<Rgb> palette = MakePalette(cells);

  std::memset(block, 0, sizeof block);
  std::memcpy(block, kMagic, 4);
  block[4] = kVersion;
  block[5] = kGridWidth;
  block[6] = kGridHeight;
  block[7] = static_cast<std::uint8_t>(palette.size());
  for (std::size_t k = 0; k < palette.size(); ++k)
    for (int c = 0; c < 3; ++c)
      block[kPaletteOffset + k * 3 + c] = static_cast<std::uint8_t>(palette[k][c]);
  for (int cell = 0; cell < kCells; ++cell)
    PutIndex(block + kIndexOffset, cell, Nearest(cells[cell], palette));
  const std::uint32_t sum = StandinChecksum(block, kChecksumOffset);
  for (int i = 0; i < 4; ++i)
    block[kChecksumOffset + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  return true;
}

bool DecodeStandinPhoto(const std::uint8_t* data, std::size_t size,
                        std::vector<std::uint8_t>* rgbTopDown) {
  if (data == nullptr || rgbTopDown == nullptr || size < kEncodedSize) return false;
  if (std::memcmp(data, kMagic, 4) != 0 || data[4] != kVersion || data[5] != kGridWidth ||
      data[6] != kGridHeight)
    return false;
  const int colours = data[7];
  if (colours < 1 || colours > kPaletteSize) return false;
  std::uint32_t stored = 0;
  for (int i = 0; i < 4; ++i)
    stored |= static_cast<std::uint32_t>(data[kChecksumOffset + i]) << (8 * i);
  if (stored != StandinChecksum(data, kChecksumOffset)) return false;

  std::vector<Rgb> grid(kCells);
  for (int cell = 0; cell < kCells; ++cell) {
    const int k = GetIndex(data + kIndexOffset, cell);
    if (k >= colours) return false;
    const std::uint8_t* p = data + kPaletteOffset + k * 3;
    grid[cell] = {p[0], p[1], p[2]};
  }

  // Bilinear upscale: pixel x lies at grid position (x + 0.5) / 3 - 0.5 =
  // (x - 1) / 3, so the weights are whole thirds.
  std::vector<std::uint8_t> out(static_cast<std::size_t>(kWidth) * kHeight * 3);
  auto split = [](int v, int limit, int* lo, int* hi, int* frac) {
    const int t = v - 1;
    const int base = t >= 0 ? t / kScale : -1;
    *frac = t - base * kScale;
    *lo = std::clamp(base, 0, limit - 1);
    *hi = std::clamp(base + 1, 0, limit - 1);
  };
  for (int y = 0; y < kHeight; ++y) {
    int y0, y1, fy;
    split(y, kGridHeight, &y0, &y1, &fy);
    for (int x = 0; x < kWidth; ++x) {
      int x0, x1, fx;
      split(x, kGridWidth, &x0, &x1, &fx);
      const Rgb& a = grid[y0 * kGridWidth + x0];
      const Rgb& b = grid[y0 * kGridWidth + x1];
      const Rgb& c = grid[y1 * kGridWidth + x0];
      const Rgb& d = grid[y1 * kGridWidth + x1];
      std::uint8_t* o = out.data() + (static_cast<std::size_t>(y) * kWidth + x) * 3;
      for (int ch = 0; ch < 3; ++ch) {
        const int top = a[ch] * (kScale - fx) + b[ch] * fx;
        const int bottom = c[ch] * (kScale - fx) + d[ch] * fx;
        const int n = kScale * kScale;
        o[ch] = static_cast<std::uint8_t>((top * (kScale - fy) + bottom * fy + n / 2) / n);
      }
    }
  }
  *rgbTopDown = std::move(out);
  return true;
}

void MakeSamplePhoto(int variant, std::uint8_t (&block)[1024]) {
  const Look& look = kLooks[((variant % 3) + 3) % 3];
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
  // 2 x 2 samples per pixel soften the outlines.
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      Rgb sum{0, 0, 0};
      for (int s = 0; s < 4; ++s) {
        const Rgb c = PortraitAt(look, x + 0.25 + 0.5 * (s & 1), y + 0.25 + 0.5 * (s >> 1));
        for (int ch = 0; ch < 3; ++ch) sum[ch] += c[ch];
      }
      std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * kWidth + x) * 3;
      for (int ch = 0; ch < 3; ++ch) p[ch] = static_cast<std::uint8_t>((sum[ch] + 2) / 4);
    }
  }
  EncodeStandinPhoto(rgb.data(), block);
}

}  // namespace talvex::standin
