// The stand-in photo format: what survives encoding, what a decoder refuses,
// and that the samples look like ID photos.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "wlt-standin/standin_format.h"

namespace talvex::standin {
namespace {

constexpr std::size_t kPixels = static_cast<std::size_t>(kWidth) * kHeight;

const std::uint8_t* At(const std::vector<std::uint8_t>& rgb, int x, int y) {
  return rgb.data() + (static_cast<std::size_t>(y) * kWidth + x) * 3;
}

TEST(StandinFormatTest, FlatPictureComesBackExactly) {
  std::vector<std::uint8_t> flat(kPixels * 3);
  for (std::size_t i = 0; i < flat.size(); ++i) flat[i] = "\x0C\xC8\x63"[i % 3];
  std::uint8_t block[1024];
  ASSERT_TRUE(EncodeStandinPhoto(flat.data(), block));
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(DecodeStandinPhoto(block, sizeof block, &rgb));
  EXPECT_EQ(rgb, flat);
}

TEST(StandinFormatTest, ThirtyTwoColoursKeepTheirCells) {
  // Diagonal stripes of 3 x 3 cells in 32 colours exercise every index value
  // and bit position of the packed grid; each cell's centre pixel sits on its
  // grid point and must come back exactly.
  auto colour = [](int k, int c) { return static_cast<std::uint8_t>(k * 8 + c * 85); };
  std::vector<std::uint8_t> rgb(kPixels * 3);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      for (int c = 0; c < 3; ++c) rgb[(y * kWidth + x) * 3 + c] = colour((x / 3 + y / 3) % 32, c);
  std::uint8_t block[1024];
  ASSERT_TRUE(EncodeStandinPhoto(rgb.data(), block));
  EXPECT_EQ(0,
            std::memcmp(block, "TVXP\x01\x22\x2A\x20", 8));  // magic, version, 34 x 42, 32 colours
  for (std::size_t i = kEncodedSize; i < 1024; ++i) ASSERT_EQ(block[i], 0) << i;
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(DecodeStandinPhoto(block, sizeof block, &back));
  for (int gy = 0; gy < kGridHeight; ++gy)
    for (int gx = 0; gx < kGridWidth; ++gx)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(At(back, gx * 3 + 1, gy * 3 + 1)[c], colour((gx + gy) % 32, c))
            << gx << "," << gy;
}

TEST(StandinFormatTest, DamagedOrShortBlocksAreRefused) {
  std::uint8_t good[1024];
  MakeSamplePhoto(1, good);
  // Offset, new value, and whether the checksum is made to match again.
  struct Damage {
    std::size_t at;
    std::uint8_t value;
    bool reseal;
  };
  for (const Damage d : {Damage{0, 'X', true}, Damage{4, 2, true}, Damage{5, 33, true},
                         Damage{6, 43, true}, Damage{7, 0, true}, Damage{7, 33, true},
                         Damage{7, 1, true},  // indices past the only colour
                         Damage{20, 0x55, false}, Damage{kChecksumOffset - 1, 0xFF, false},
                         Damage{kChecksumOffset + 3, 0x00, false}}) {
    std::uint8_t block[1024];
    std::memcpy(block, good, sizeof block);
    block[d.at] = d.value == block[d.at] ? d.value ^ 1 : d.value;
    if (d.reseal) {
      const std::uint32_t sum = StandinChecksum(block, kChecksumOffset);
      for (int i = 0; i < 4; ++i)
        block[kChecksumOffset + i] = static_cast<std::uint8_t>(sum >> (8 * i));
    }
    std::vector<std::uint8_t> out{42};
    EXPECT_FALSE(DecodeStandinPhoto(block, sizeof block, &out)) << "byte " << d.at;
    EXPECT_EQ(out, std::vector<std::uint8_t>{42});
  }
  std::vector<std::uint8_t> out;
  EXPECT_FALSE(DecodeStandinPhoto(good, kEncodedSize - 1, &out));
  EXPECT_TRUE(DecodeStandinPhoto(good, kEncodedSize, &out));
}

int Brightness(const std::uint8_t* p) {
  return p[0] + p[1] + p[2];
}

TEST(StandinSampleTest, ThreeStableDifferentIdPhotos) {
  std::uint8_t blocks[3][1024], again[1024];
  for (int v = 0; v < 3; ++v) MakeSamplePhoto(v, blocks[v]);
  MakeSamplePhoto(0, again);
  EXPECT_EQ(0, std::memcmp(blocks[0], again, 1024));
  EXPECT_NE(0, std::memcmp(blocks[0], blocks[1], 1024));
  EXPECT_NE(0, std::memcmp(blocks[1], blocks[2], 1024));
  for (int v = 0; v < 3; ++v) {
    std::vector<std::uint8_t> rgb;
    ASSERT_TRUE(DecodeStandinPhoto(blocks[v], 1024, &rgb)) << v;
    const std::uint8_t *corner = At(rgb, 2, 2), *otherCorner = At(rgb, 99, 2),
                       *cheek = At(rgb, 36, 62), *eye = At(rgb, 41, 49), *lips = At(rgb, 51, 71),
                       *clothes = At(rgb, 20, 122);
    EXPECT_GT(Brightness(corner), 600) << v;  // a light, plain background
    EXPECT_EQ(0, std::memcmp(corner, otherCorner, 3)) << v;
    EXPECT_GT(cheek[0], cheek[2] + 30) << v;  // warm skin
    EXPECT_LT(Brightness(eye) + 150, Brightness(cheek)) << v;
    EXPECT_LT(lips[1] + 40, cheek[1]) << v;  // red lips
    EXPECT_LT(Brightness(clothes) + 200, Brightness(corner)) << v;
  }
}

}  // namespace
}  // namespace talvex::standin
