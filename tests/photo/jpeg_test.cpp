// The JPEG encoder: what reaches the library, the file it makes, how the
// memory destination hands over bytes, and how failures are reported.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "photo/jpeg.h"
#include "photo_support.h"

namespace talvex {
namespace {

constexpr JpegParams kPhoto{96, 96, 80};

// The information header and rows, as LoadBitmapFile leaves them.
struct MemoryBitmap {
  explicit MemoryBitmap(const std::vector<std::uint8_t>& file)
      : block(file.begin() + 14, file.end()) {}
  const std::uint8_t* header() const { return block.data(); }
  const std::uint8_t* pixels() const { return block.data() + 40; }
  std::vector<std::uint8_t> block;
};

MemoryBitmap Noise(int size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(size) * size * 3);
  for (auto& b : rgb) b = static_cast<std::uint8_t>(random());
  return MemoryBitmap(test::BitmapFromRgb(size, size, rgb));
}

test::DecodedJpeg EncodeAndDecode(const MemoryBitmap& bitmap,
                                  std::vector<std::uint8_t>* bytes = nullptr) {
  std::uint8_t* jpeg = nullptr;
  std::int32_t length = 0;
  EXPECT_EQ(EncodeJpegToMemory(jpeg, length, bitmap.header(), bitmap.pixels(), kPhoto), kOk);
  test::DecodedJpeg image;
  EXPECT_TRUE(test::DecodeJpeg(jpeg, static_cast<std::size_t>(length), &image));
  if (bytes != nullptr) bytes->assign(jpeg, jpeg + length);
  std::free(jpeg);
  return image;
}

TEST(JpegPixelsTest, TopRowFirstAndBlueGreenRedBecomesRgb) {
  // Stored bottom-up: the file's first 16 rows (the bottom) are blue 10,
  // green 20, red 200; the top 16 rows blue 200, green 20, red 10.
  std::vector<std::uint8_t> file = test::MakeBitmap({.width = 32, .height = 32});
  for (int row = 0; row < 32; ++row)
    for (int x = 0; x < 32; ++x) {
      std::uint8_t* p = &file[54 + row * 96 + x * 3];
      p[0] = row < 16 ? 10 : 200;
      p[1] = 20;
      p[2] = row < 16 ? 200 : 10;
    }
  const test::DecodedJpeg image = EncodeAndDecode(MemoryBitmap(file));
  ASSERT_EQ(image.width, 32);
  ASSERT_EQ(image.height, 32);
  const std::uint8_t* top = &image.rgb[(4 * 32 + 16) * 3];
  const std::uint8_t* bottom = &image.rgb[(28 * 32 + 16) * 3];
  EXPECT_NEAR(top[0], 10, 6);  // red
  EXPECT_NEAR(top[1], 20, 6);
  EXPECT_NEAR(top[2], 200, 6);  // blue
  EXPECT_NEAR(bottom[0], 200, 6);
  EXPECT_NEAR(bottom[2], 10, 6);
}

TEST(JpegPixelsTest, RowPaddingIsSkipped) {
  // 5 pixels wide: stride 16 with one white padding byte. Each row is a grey
  // of its own; a stride of 15 would shift every later row.
  const int h = 24;
  std::vector<std::uint8_t> file = test::MakeBitmap({.width = 5, .height = h, .padByte = 0xFF});
  for (int row = 0; row < h; ++row) std::memset(&file[54 + row * 16], row * 10, 15);
  const test::DecodedJpeg image = EncodeAndDecode(MemoryBitmap(file));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 5; ++x)
      EXPECT_NEAR(image.rgb[(y * 5 + x) * 3 + 1], (h - 1 - y) * 10, 12) << x << "," << y;
}

TEST(JpegFileTest, BaselineJfifAtNinetySixDotsPerInch) {
  std::vector<std::uint8_t> jpeg;
  EncodeAndDecode(Noise(8, 1), &jpeg);
  ASSERT_GT(jpeg.size(), 20u);
  const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I',
                               'F',  0,    1,    1,    1, 0,  96,  0,   96};
  EXPECT_EQ(0, std::memcmp(jpeg.data(), head, sizeof head));
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
}

// Records every piece handed over and the capacity after it; can fail writes
// from the n-th on, or report an error once flushed.
class ProbeFile : public CxMemFile {
 public:
  std::size_t Write(const void* src, std::size_t itemSize, std::size_t count) override {
    if (static_cast<int>(pieces.size()) + 1 >= failFrom) return 0;
    const std::size_t written = CxMemFile::Write(src, itemSize, count);
    pieces.push_back(itemSize * count);
    capacities.push_back(Capacity());
    return written;
  }
  bool Flush() override { return flushed = true; }
  std::int32_t Error() override { return errorAfterFlush && flushed ? 1 : CxMemFile::Error(); }
  std::vector<std::size_t> pieces;
  std::vector<std::int32_t> capacities;
  int failFrom = 1 << 30;
  bool errorAfterFlush = false;
  bool flushed = false;
};

TEST(JpegMemoryTest, LargeOutputComesIn4096BytePiecesAndGrowsTheBufferTwice) {
  const MemoryBitmap bitmap = Noise(400, 2);
  ProbeFile file;
  ASSERT_TRUE(file.Open());
  ASSERT_EQ(EncodeJpeg(file, bitmap.header(), bitmap.pixels(), kPhoto), kOk);
  ASSERT_GT(file.pieces.size(), 17u) << "the picture must exceed 17 x 4096 bytes";
  for (std::size_t i = 0; i + 1 < file.pieces.size(); ++i) ASSERT_EQ(file.pieces[i], 4096u) << i;
  EXPECT_EQ(file.capacities[0], 65536);
  EXPECT_EQ(file.capacities[15], 65536);  // 16 pieces fill it exactly
  EXPECT_EQ(file.capacities[16], 131072);

  std::vector<std::uint8_t> jpeg;
  EncodeAndDecode(bitmap, &jpeg);
  ASSERT_EQ(static_cast<std::int32_t>(jpeg.size()), file.Size());  // the length, not the capacity
  EXPECT_EQ(0, std::memcmp(jpeg.data(), file.GetBuffer(false), jpeg.size()));
}

TEST(JpegRefusalTest, ZeroOrNegativeSizeOrOtherDepthFailsWithoutTheLibrary) {
  struct Case {
    std::int32_t width, height;
    std::uint16_t bits;
  };
  for (const Case c :
       {Case{0, 4, 24}, Case{4, 0, 24}, Case{-4, 4, 24}, Case{4, -4, 24}, Case{4, 4, 32}}) {
    MemoryBitmap bitmap = Noise(4, 3);
    std::memcpy(&bitmap.block[4], &c.width, 4);
    std::memcpy(&bitmap.block[8], &c.height, 4);
    std::memcpy(&bitmap.block[14], &c.bits, 2);
    ProbeFile file;
    ASSERT_TRUE(file.Open());
    std::uint8_t sentinel = 0;
    std::uint8_t* jpeg = &sentinel;
    std::int32_t length = -5;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(EncodeJpeg(file, bitmap.header(), bitmap.pixels(), kPhoto), kJpegEncodeFailed);
    EXPECT_EQ(EncodeJpegToMemory(jpeg, length, bitmap.header(), bitmap.pixels(), kPhoto),
              kJpegEncodeFailed);
    // The library would have said "Empty JPEG image" and written a header.
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(file.pieces.empty());
    EXPECT_EQ(jpeg, &sentinel);  // outputs untouched
    EXPECT_EQ(length, -5);
  }
}

TEST(JpegFailureTest, FailedWritesAreReportedAsWriteErrorsAnd287) {
  struct Case {
    const char* what;
    int size, failFrom;
    bool errorAfterFlush;
  };
  for (const Case c :
       {Case{"first full buffer", 128, 1, false}, Case{"later buffer", 128, 3, false},
        Case{"final piece", 8, 1, false}, Case{"error after flush", 8, 1 << 30, true}}) {
    const MemoryBitmap bitmap = Noise(c.size, 4);
    ProbeFile file;
    ASSERT_TRUE(file.Open());
    file.failFrom = c.failFrom;
    file.errorAfterFlush = c.errorAfterFlush;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(EncodeJpeg(file, bitmap.header(), bitmap.pixels(), kPhoto), kJpegEncodeFailed)
        << c.what;
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("Output file write error"), std::string::npos)
        << c.what << ": " << printed;
  }
  EncodeAndDecode(Noise(16, 5));  // and the next encoding works as ever
}

}  // namespace
}  // namespace talvex
