// The stand-in photo format: what survives encoding, what a decoder refuses,
// and that the samples look like ID photos.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "wlt-standin/standin_format.h"

namespace talvex::standin {
namespace {

constexpr std::size_t kPixels = static_cast<std::size_t>(kWidth) * kHeight;

std::vector<std::uint8_t> Flat(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  std::vector<std::uint8_t> rgb(kPixels * 3);
  for (std::size_t i = 0; i < kPixels; ++i) {
    rgb[3 * i] = r;
    rgb[3 * i + 1] = g;
    rgb[3 * i + 2] = b;
  }
  return rgb;
}

const std::uint8_t* At(const std::vector<std::uint8_t>& rgb, int x, int y) {
  return rgb.data() + (static_cast<std::size_t>(y) * kWidth + x) * 3;
}

void Reseal(std::uint8_t (&block)[1024]) {
  const std::uint32_t sum = StandinChecksum(block, kChecksumOffset);
  for (int i = 0; i < 4; ++i)
    block[kChecksumOffset + i] = static_cast<std::uint8_t>(sum >> (8 * i));
}

TEST(StandinFormatTest, FlatPictureComesBackExactly) {
  std::uint8_t block[1024];
  ASSERT_TRUE(EncodeStandinPhoto(Flat(12, 200, 99).data(), block));
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(DecodeStandinPhoto(block, sizeof block, &rgb));
  ASSERT_EQ(rgb.size(), kPixels * 3);
  EXPECT_EQ(rgb, Flat(12, 200, 99));
}

TEST(StandinFormatTest, ThirtyTwoColourTilesKeepTheirPlaceAndColour) {
  // 32 vertical stripes of 3-pixel cells, each its own colour: every index
  // value and every bit position of the packed grid is exercised.
  std::vector<std::uint8_t> rgb(kPixels * 3);
  auto colour = [](int k, int c) { return static_cast<std::uint8_t>((k * 8 + c * 85) & 0xFF); };
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int k = ((x / 3) + (y / 3)) % 32;
      for (int c = 0; c < 3; ++c)
        rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3 + c] = colour(k, c);
    }
  std::uint8_t block[1024];
  ASSERT_TRUE(EncodeStandinPhoto(rgb.data(), block));
  EXPECT_EQ(block[7], 32);
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(DecodeStandinPhoto(block, sizeof block, &back));
  // The centre pixel of each cell lies exactly on the grid point.
  for (int gy = 0; gy < kGridHeight; ++gy)
    for (int gx = 0; gx < kGridWidth; ++gx) {
      const int k = (gx + gy) % 32;
      const std::uint8_t* p = At(back, gx * 3 + 1, gy * 3 + 1);
      for (int c = 0; c < 3; ++c) ASSERT_EQ(p[c], colour(k, c)) << gx << "," << gy;
    }
}

TEST(StandinFormatTest, SmoothPictureStaysClose) {
  std::vector<std::uint8_t> rgb(kPixels * 3);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3];
      p[0] = static_cast<std::uint8_t>(x * 2 + 20);
      p[1] = static_cast<std::uint8_t>(y * 2);
      p[2] = static_cast<std::uint8_t>(255 - x - y);
    }
  std::uint8_t block[1024];
  ASSERT_TRUE(EncodeStandinPhoto(rgb.data(), block));
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(DecodeStandinPhoto(block, sizeof block, &back));
  long total = 0;
  for (std::size_t i = 0; i < rgb.size(); ++i) total += std::abs(rgb[i] - back[i]);
  EXPECT_LT(static_cast<double>(total) / rgb.size(), 12.0);
  // Upright and not mirrored: red grows to the right, green downwards.
  EXPECT_LT(At(back, 2, 60)[0] + 100, At(back, 99, 60)[0]);
  EXPECT_LT(At(back, 50, 2)[1] + 100, At(back, 50, 123)[1]);
}

TEST(StandinFormatTest, BlockLayout) {
  std::uint8_t block[1024];
  MakeSamplePhoto(0, block);
  EXPECT_EQ(0, std::memcmp(block, "TVXP", 4));
  EXPECT_EQ(block[4], 1);
  EXPECT_EQ(block[5], 34);
  EXPECT_EQ(block[6], 42);
  EXPECT_EQ(kChecksumOffset, 997u);
  for (std::size_t i = kEncodedSize; i < 1024; ++i) EXPECT_EQ(block[i], 0) << i;
  for (std::size_t k = block[7]; k < 32; ++k)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(block[8 + 3 * k + c], 0);
}

TEST(StandinFormatTest, DamagedBlocksAreRefused) {
  std::uint8_t good[1024];
  MakeSamplePhoto(1, good);
  struct Damage {
    const char* what;
    void (*apply)(std::uint8_t (&)[1024]);
  };
  const Damage damages[] = {
      {"magic",
       [](std::uint8_t(&b)[1024]) {
         b[0] = 'X';
         Reseal(b);
       }},
      {"version",
       [](std::uint8_t(&b)[1024]) {
         b[4] = 2;
         Reseal(b);
       }},
      {"grid width",
       [](std::uint8_t(&b)[1024]) {
         b[5] = 33;
         Reseal(b);
       }},
      {"grid height",
       [](std::uint8_t(&b)[1024]) {
         b[6] = 43;
         Reseal(b);
       }},
      {"no colours",
       [](std::uint8_t(&b)[1024]) {
         b[7] = 0;
         Reseal(b);
       }},
      {"33 colours",
       [](std::uint8_t(&b)[1024]) {
         b[7] = 33;
         Reseal(b);
       }},
      {"index past the colours",
       [](std::uint8_t(&b)[1024]) {
         b[7] = 1;
         Reseal(b);
       }},
      {"palette byte", [](std::uint8_t(&b)[1024]) { b[20] ^= 1; }},
      {"last index byte", [](std::uint8_t(&b)[1024]) { b[kChecksumOffset - 1] ^= 0x80; }},
      {"checksum", [](std::uint8_t(&b)[1024]) { b[kChecksumOffset + 3] ^= 1; }},
  };
  for (const Damage& d : damages) {
    std::uint8_t block[1024];
    std::memcpy(block, good, sizeof block);
    d.apply(block);
    std::vector<std::uint8_t> out{42};
    EXPECT_FALSE(DecodeStandinPhoto(block, sizeof block, &out)) << d.what;
    EXPECT_EQ(out, std::vector<std::uint8_t>{42}) << d.what;
  }
}

TEST(StandinFormatTest, SizeMustCoverTheEncodedPart) {
  std::uint8_t block[1024];
  MakeSamplePhoto(2, block);
  std::vector<std::uint8_t> out;
  EXPECT_FALSE(DecodeStandinPhoto(block, kEncodedSize - 1, &out));
  EXPECT_TRUE(DecodeStandinPhoto(block, kEncodedSize, &out));
  EXPECT_FALSE(DecodeStandinPhoto(nullptr, 1024, &out));
  EXPECT_FALSE(EncodeStandinPhoto(nullptr, block));
}

TEST(StandinSampleTest, ThreeDifferentStablePortraits) {
  std::uint8_t a[1024], b[1024], c[1024], again[1024];
  MakeSamplePhoto(0, a);
  MakeSamplePhoto(1, b);
  MakeSamplePhoto(2, c);
  MakeSamplePhoto(0, again);
  EXPECT_EQ(0, std::memcmp(a, again, 1024));
  EXPECT_NE(0, std::memcmp(a, b, 1024));
  EXPECT_NE(0, std::memcmp(b, c, 1024));
  EXPECT_NE(0, std::memcmp(a, c, 1024));
}

int Brightness(const std::uint8_t* p) {
  return p[0] + p[1] + p[2];
}

TEST(StandinSampleTest, EachLooksLikeAnIdPhoto) {
  for (int variant = 0; variant < 3; ++variant) {
    std::uint8_t block[1024];
    MakeSamplePhoto(variant, block);
    std::vector<std::uint8_t> rgb;
    ASSERT_TRUE(DecodeStandinPhoto(block, sizeof block, &rgb)) << variant;
    const std::uint8_t* cornerTopLeft = At(rgb, 2, 2);
    const std::uint8_t* cornerTopRight = At(rgb, 99, 2);
    const std::uint8_t* cheek = At(rgb, 36, 62);
    const std::uint8_t* eye = At(rgb, 41, 49);
    const std::uint8_t* lips = At(rgb, 51, 71);
    const std::uint8_t* clothes = At(rgb, 20, 122);
    // Plain, light background, the same in both top corners.
    EXPECT_GT(Brightness(cornerTopLeft), 600) << variant;
    for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(cornerTopLeft[ch], cornerTopRight[ch], 2) << variant;
    // Skin: warm, red above blue.
    EXPECT_GT(cheek[0], cheek[2] + 30) << variant;
    // Dark eyes and redder lips in the face, darker clothes at the bottom.
    EXPECT_LT(Brightness(eye) + 150, Brightness(cheek)) << variant;
    EXPECT_LT(lips[1] + 40, cheek[1]) << variant;  // red lips: far less green than skin
    EXPECT_GT(lips[0], lips[1] + 40) << variant;
    EXPECT_LT(Brightness(clothes) + 200, Brightness(cornerTopLeft)) << variant;
  }
}

}  // namespace
}  // namespace talvex::standin
