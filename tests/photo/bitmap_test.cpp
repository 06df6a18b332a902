// The bitmap loader: which files it accepts, and what the loaded block holds.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "photo/bitmap.h"
#include "photo_support.h"

namespace talvex {
namespace {

using test::BitmapSpec;

class BitmapLoaderTest : public ::testing::Test {
 protected:
  // Loads the file; the block (or null) is kept until the test ends.
  std::uint8_t* Load(const std::vector<std::uint8_t>& file, std::uint8_t** pixels = nullptr) {
    test::WriteBytes(dir_.File("image.bmp"), file);
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(this);  // must be reset on failure
    block_.reset(LoadBitmapFile(test::Wide(dir_.File("image.bmp")).c_str(), p));
    if (!block_) {
      EXPECT_EQ(p, nullptr);
    }
    if (pixels != nullptr) *pixels = p;
    return block_.get();
  }
  bool Loads(const std::function<void(BitmapSpec&)>& change) {
    BitmapSpec spec;  // 3 x 2 with a 40-byte header: stride 12, pixels at 54, 78 bytes
    change(spec);
    return Load(test::MakeBitmap(spec)) != nullptr;
  }

  test::ScratchDir dir_;
  std::unique_ptr<std::uint8_t, decltype(&std::free)> block_{nullptr, &std::free};
};

TEST_F(BitmapLoaderTest, AcceptedLayouts) {
  EXPECT_TRUE(Loads([](BitmapSpec& s) { s.fileSizeField = 78; }));
  EXPECT_TRUE(Loads([](BitmapSpec& s) { s.headerSize = 108; }));  // pixels at 122
  EXPECT_TRUE(Loads([](BitmapSpec& s) { s.headerSize = 124; }));  // pixels at 138
  // Strides: 1 pixel is padded to 4 bytes, 4 pixels need no padding.
  EXPECT_TRUE(Loads([](BitmapSpec& s) { s.width = 1, s.extraTail = 4, s.fileSizeField = 62; }));
  EXPECT_TRUE(Loads([](BitmapSpec& s) { s.width = 4, s.height = 1, s.fileSizeField = 66; }));
  // Zero width loads; the encoder is the one to refuse it.
  EXPECT_TRUE(Loads([](BitmapSpec& s) { s.width = 0; }));
}

TEST_F(BitmapLoaderTest, RefusedLayouts) {
  // The size field decides even when the file is longer.
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.fileSizeField = 77, s.extraTail = 40; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.width = 1, s.extraTail = 4, s.fileSizeField = 61; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.width = 4, s.height = 1, s.fileSizeField = 65; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.headerSize = 12; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.headerSize = 39; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.headerSize = 125; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.bitsPerPixel = 8; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.bitsPerPixel = 32; }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.pixelOffset = 58, s.extraTail = 4; }));  // gap
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.height = -2, s.pixelBytes = 24; }));     // top-down
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.width = -3, s.pixelBytes = 24; }));
  // 0x55555556 * 3 is 2 in 32 bits, a stride of 4: a 32-bit loader would
  // take this tiny file for a huge picture and the encoder read past it.
  EXPECT_FALSE(Loads([](BitmapSpec& s) { s.width = 0x55555556, s.height = 1, s.pixelBytes = 4; }));
  // 4-byte stride * 2^30 rows is 2^32, 0 in 32 bits.
  EXPECT_FALSE(Loads([](BitmapSpec& s) {
    s.width = 1, s.height = 0x40000000, s.pixelBytes = 16, s.fileSizeField = 0xFFFFFFFF;
  }));
  EXPECT_FALSE(Loads([](BitmapSpec& s) {
    s.width = 0x7FFFFFFF, s.height = 0x7FFFFFFF, s.pixelBytes = 16, s.fileSizeField = 0xFFFFFFFF;
  }));
}

TEST_F(BitmapLoaderTest, ShortDamagedMissingOrLinkedFilesAreRefused) {
  const std::vector<std::uint8_t> whole = test::MakeBitmap(BitmapSpec{});
  for (const std::size_t length : {0, 2, 53, 54, 77}) {
    EXPECT_EQ(Load(std::vector<std::uint8_t>(whole.begin(), whole.begin() + length)), nullptr)
        << length;
  }
  std::vector<std::uint8_t> notBm = whole;
  notBm[1] = 'A';
  EXPECT_EQ(Load(notBm), nullptr);
  std::uint8_t* pixels = nullptr;
  EXPECT_EQ(LoadBitmapFile(test::Wide(dir_.File("absent.bmp")).c_str(), pixels), nullptr);
  test::WriteBytes(dir_.File("real.bmp"), whole);
  ASSERT_EQ(0, symlink(dir_.File("real.bmp").c_str(), dir_.File("link.bmp").c_str()));
  EXPECT_EQ(LoadBitmapFile(test::Wide(dir_.File("link.bmp")).c_str(), pixels), nullptr);
}

TEST_F(BitmapLoaderTest, BlockIsTheWholeHeaderFollowedByTheRows) {
  for (const std::uint32_t headerSize : {40u, 124u}) {
    BitmapSpec spec;
    spec.width = 5;  // stride 16
    spec.height = 3;
    spec.headerSize = headerSize;
    const std::vector<std::uint8_t> file = test::MakeBitmap(spec);
    std::uint8_t* pixels = nullptr;
    std::uint8_t* block = Load(file, &pixels);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(pixels, block + headerSize);
    EXPECT_EQ(0, std::memcmp(block, file.data() + 14, headerSize + 48));
  }
}

}  // namespace
}  // namespace talvex
