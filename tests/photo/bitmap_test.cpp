// The bitmap loader: which files it accepts, and what the loaded block holds.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "photo/bitmap.h"
#include "photo_support.h"

namespace talvex {
namespace {

using test::BitmapSpec;

struct Loaded {
  std::unique_ptr<std::uint8_t, decltype(&std::free)> block{nullptr, &std::free};
  std::uint8_t* pixels = nullptr;
};

class BitmapLoaderTest : public ::testing::Test {
 protected:
  Loaded LoadFile(const std::vector<std::uint8_t>& file) {
    const std::string path = dir_.File("image.bmp");
    test::WriteBytes(path, file);
    return LoadPath(path);
  }
  Loaded LoadPath(const std::string& path) {
    Loaded loaded;
    loaded.pixels = reinterpret_cast<std::uint8_t*>(&loaded);  // must be reset on failure
    loaded.block.reset(LoadBitmapFile(test::Wide(path).c_str(), loaded.pixels));
    if (!loaded.block) {
      EXPECT_EQ(loaded.pixels, nullptr);
    }
    return loaded;
  }
  bool Loads(const BitmapSpec& spec) { return LoadFile(test::MakeBitmap(spec)).block != nullptr; }

  test::ScratchDir dir_;
};

TEST_F(BitmapLoaderTest, FileSizeFieldMustCoverPixelOffsetPlusImage) {
  BitmapSpec spec;  // 3 x 2: stride 12, 24 image bytes, pixels at 54
  spec.fileSizeField = 78;
  EXPECT_TRUE(Loads(spec));
  spec.fileSizeField = 77;
  spec.extraTail = 40;  // the file itself is long enough; the field decides
  EXPECT_FALSE(Loads(spec));
}

TEST_F(BitmapLoaderTest, StrideIsPaddedToFourBytes) {
  // 1 pixel wide: 3 bytes padded to 4; 4 wide: 12, no padding; 5 wide: 16.
  struct Case {
    int width, height;
    std::int64_t minimum;
  };
  for (const Case c : {Case{1, 2, 54 + 8}, Case{4, 1, 54 + 12}, Case{5, 3, 54 + 48}}) {
    BitmapSpec spec;
    spec.width = c.width;
    spec.height = c.height;
    spec.extraTail = 8;
    spec.fileSizeField = c.minimum;
    EXPECT_TRUE(Loads(spec)) << c.width << "x" << c.height;
    spec.fileSizeField = c.minimum - 1;
    EXPECT_FALSE(Loads(spec)) << c.width << "x" << c.height;
  }
}

TEST_F(BitmapLoaderTest, BlockHoldsInformationHeaderThenRows) {
  BitmapSpec spec;
  spec.width = 5;  // stride 16: one padding byte per row
  spec.height = 3;
  const std::vector<std::uint8_t> file = test::MakeBitmap(spec);
  Loaded loaded = LoadFile(file);
  ASSERT_TRUE(loaded.block);
  EXPECT_EQ(loaded.pixels, loaded.block.get() + 40);
  EXPECT_EQ(0, std::memcmp(loaded.block.get(), file.data() + 14, 40));
  EXPECT_EQ(0, std::memcmp(loaded.pixels, file.data() + 54, 48));
}

TEST_F(BitmapLoaderTest, LongerInformationHeadersAreKeptWhole) {
  for (const std::uint32_t headerSize : {108u, 124u}) {
    BitmapSpec spec;
    spec.headerSize = headerSize;  // pixel offsets 122 and 138
    const std::vector<std::uint8_t> file = test::MakeBitmap(spec);
    Loaded loaded = LoadFile(file);
    ASSERT_TRUE(loaded.block) << headerSize;
    EXPECT_EQ(loaded.pixels, loaded.block.get() + headerSize);
    EXPECT_EQ(0, std::memcmp(loaded.block.get(), file.data() + 14, headerSize));
    EXPECT_EQ(0, std::memcmp(loaded.pixels, file.data() + 14 + headerSize, 24));
  }
}

TEST_F(BitmapLoaderTest, HeaderSizeOutsideFortyTo124IsRefused) {
  for (const std::uint32_t headerSize : {12u, 39u, 125u, 0xFFFFFFFFu}) {
    BitmapSpec spec;
    spec.headerSize = headerSize == 0xFFFFFFFFu ? 40 : headerSize;
    spec.pixelOffset = 14 + static_cast<std::int64_t>(headerSize);
    std::vector<std::uint8_t> file = test::MakeBitmap(spec);
    for (int i = 0; i < 4; ++i) file[14 + i] = static_cast<std::uint8_t>(headerSize >> (8 * i));
    EXPECT_EQ(LoadFile(file).block, nullptr) << headerSize;
  }
  BitmapSpec accepted;
  accepted.headerSize = 41;
  EXPECT_TRUE(Loads(accepted));
}

TEST_F(BitmapLoaderTest, OnlyTwentyFourBitsPerPixel) {
  for (const std::uint16_t bits : {1, 8, 16, 32}) {
    BitmapSpec spec;
    spec.bitsPerPixel = bits;
    EXPECT_FALSE(Loads(spec)) << bits;
  }
}

TEST_F(BitmapLoaderTest, PixelsMustFollowTheHeadersDirectly) {
  BitmapSpec spec;
  spec.pixelOffset = 58;  // a colour table or a gap
  spec.extraTail = 4;
  EXPECT_FALSE(Loads(spec));
  spec.pixelOffset = 50;
  EXPECT_FALSE(Loads(spec));
}

TEST_F(BitmapLoaderTest, SignatureMustBeBM) {
  std::vector<std::uint8_t> file = test::MakeBitmap(BitmapSpec{});
  file[1] = 'A';
  EXPECT_EQ(LoadFile(file).block, nullptr);
  file[0] = 'M';
  file[1] = 'B';
  EXPECT_EQ(LoadFile(file).block, nullptr);
}

TEST_F(BitmapLoaderTest, NegativeSizesAreRefused) {
  BitmapSpec topDown;
  topDown.height = -2;
  topDown.pixelBytes = 24;
  EXPECT_FALSE(Loads(topDown));
  BitmapSpec mirrored;
  mirrored.width = -3;
  mirrored.pixelBytes = 24;
  EXPECT_FALSE(Loads(mirrored));
}

TEST_F(BitmapLoaderTest, SizesBeyondRangeAreRefusedWithoutWrapping) {
  // 0x55555556 pixels * 3 wraps to 2 in 32 bits, a stride of 4: a loader
  // doing 32-bit arithmetic would take this tiny file for a 0x55555556-wide
  // picture and the encoder would read far past it.
  BitmapSpec wraps;
  wraps.width = 0x55555556;
  wraps.height = 1;
  wraps.pixelBytes = 4;
  EXPECT_FALSE(Loads(wraps));

  BitmapSpec huge;
  huge.width = 0x7FFFFFFF;
  huge.height = 0x7FFFFFFF;
  huge.pixelBytes = 16;
  huge.fileSizeField = 0xFFFFFFFF;
  EXPECT_FALSE(Loads(huge));

  BitmapSpec tall;  // stride 4 * 2^30 rows is 2^32: 0 in 32 bits
  tall.width = 1;
  tall.height = 0x40000000;
  tall.pixelBytes = 16;
  tall.fileSizeField = 0xFFFFFFFF;
  EXPECT_FALSE(Loads(tall));
}

TEST_F(BitmapLoaderTest, TruncatedFilesAreRefused) {
  const std::vector<std::uint8_t> whole = test::MakeBitmap(BitmapSpec{});  // 78 bytes
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{2}, std::size_t{53}, std::size_t{54}, std::size_t{77}}) {
    std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + length);
    EXPECT_EQ(LoadFile(cut).block, nullptr) << length;
  }
  BitmapSpec longHeader;  // the rest of a 124-byte header is missing
  longHeader.headerSize = 124;
  std::vector<std::uint8_t> file = test::MakeBitmap(longHeader);
  file.resize(100);
  EXPECT_EQ(LoadFile(file).block, nullptr);
}

TEST_F(BitmapLoaderTest, MissingFileAndSymlinkAreRefused) {
  EXPECT_EQ(LoadPath(dir_.File("absent.bmp")).block, nullptr);
  const std::string real = dir_.File("real.bmp");
  test::WriteBytes(real, test::MakeBitmap(BitmapSpec{}));
  ASSERT_TRUE(LoadPath(real).block);
  ASSERT_EQ(0, symlink(real.c_str(), dir_.File("link.bmp").c_str()));
  EXPECT_EQ(LoadPath(dir_.File("link.bmp")).block, nullptr);
}

TEST_F(BitmapLoaderTest, ZeroSizedPictureLoadsForTheEncoderToRefuse) {
  BitmapSpec spec;
  spec.width = 0;
  spec.height = 5;
  Loaded loaded = LoadFile(test::MakeBitmap(spec));
  ASSERT_TRUE(loaded.block);
  EXPECT_EQ(loaded.pixels, loaded.block.get() + 40);
}

}  // namespace
}  // namespace talvex
