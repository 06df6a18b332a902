// The JPEG encoder: what reaches the library, the file it makes, how the
// memory destination hands over bytes, and how failures are reported.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "photo/bitmap.h"
#include "photo/jpeg.h"
#include "photo_support.h"

namespace talvex {
namespace {

constexpr JpegParams kPhoto{96, 96, 80};

// A bitmap held in memory the way LoadBitmapFile leaves it.
struct MemoryBitmap {
  std::vector<std::uint8_t> block;  // information header, then the rows
  const std::uint8_t* header() const { return block.data(); }
  const std::uint8_t* pixels() const { return block.data() + 40; }
};

MemoryBitmap FromFile(const std::vector<std::uint8_t>& file) {
  return MemoryBitmap{std::vector<std::uint8_t>(file.begin() + 14, file.end())};
}

MemoryBitmap FromRgb(int width, int height, const std::vector<std::uint8_t>& rgb) {
  return FromFile(test::BitmapFromRgb(width, height, rgb));
}

std::vector<std::uint8_t> Encode(const MemoryBitmap& bitmap, const JpegParams& params = kPhoto) {
  std::uint8_t* jpeg = nullptr;
  std::int32_t length = 0;
  EXPECT_EQ(EncodeJpegToMemory(jpeg, length, bitmap.header(), bitmap.pixels(), params), kOk);
  std::vector<std::uint8_t> out(jpeg, jpeg + length);
  std::free(jpeg);
  return out;
}

std::vector<std::uint8_t> Noise(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
  for (auto& b : rgb) b = static_cast<std::uint8_t>(random());
  return rgb;
}

void ExpectNear(const test::DecodedJpeg& image, int x, int y, int r, int g, int b,
                const char* what) {
  const std::uint8_t* p = image.rgb.data() + (static_cast<std::size_t>(y) * image.width + x) * 3;
  const int tolerance = 24;  // quality 80 on flat areas
  EXPECT_NEAR(p[0], r, tolerance) << what << " red at " << x << "," << y;
  EXPECT_NEAR(p[1], g, tolerance) << what << " green at " << x << "," << y;
  EXPECT_NEAR(p[2], b, tolerance) << what << " blue at " << x << "," << y;
}

TEST(JpegPixelsTest, TopRowFirstAndRedBlueSwapped) {
  // Top half red, bottom half blue, a green band on the left of both.
  const int w = 32, h = 32;
  std::vector<std::uint8_t> rgb(w * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &rgb[(y * w + x) * 3];
      p[0] = y < h / 2 ? 230 : 20;
      p[1] = x < 8 ? 200 : 20;
      p[2] = y < h / 2 ? 20 : 230;
    }
  }
  const std::vector<std::uint8_t> jpeg = Encode(FromRgb(w, h, rgb));
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  ASSERT_EQ(image.width, w);
  ASSERT_EQ(image.height, h);
  ExpectNear(image, 24, 4, 230, 20, 20, "top");
  ExpectNear(image, 24, 28, 20, 20, 230, "bottom");
  ExpectNear(image, 2, 4, 230, 200, 20, "top left");
  ExpectNear(image, 2, 28, 20, 200, 230, "bottom left");
}

TEST(JpegPixelsTest, StoredBytesTenTwentyThirtyArriveAsThirtyTwentyTen) {
  // Stored blue 10, green 20, red 30 everywhere: the picture is (30, 20, 10).
  test::BitmapSpec spec;
  spec.width = 16;
  spec.height = 16;
  std::vector<std::uint8_t> file = test::MakeBitmap(spec);
  for (int i = 0; i < 16 * 16; ++i) {
    file[54 + 3 * i] = 10;
    file[54 + 3 * i + 1] = 20;
    file[54 + 3 * i + 2] = 30;
  }
  const std::vector<std::uint8_t> jpeg = Encode(FromFile(file));
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  for (const auto& [x, y] : {std::pair{0, 0}, {15, 15}, {7, 9}}) {
    const std::uint8_t* p = &image.rgb[(y * 16 + x) * 3];
    EXPECT_NEAR(p[0], 30, 3);
    EXPECT_NEAR(p[1], 20, 3);
    EXPECT_NEAR(p[2], 10, 3);
  }
}

TEST(JpegPixelsTest, RowPaddingIsSkipped) {
  // 5 pixels wide: stride 16, one padding byte per row, set to white. Each
  // row has a grey level of its own; a stride of 15 would shift later rows.
  const int w = 5, h = 24;
  test::BitmapSpec spec;
  spec.width = w;
  spec.height = h;
  spec.padByte = 0xFF;
  std::vector<std::uint8_t> file = test::MakeBitmap(spec);
  for (int row = 0; row < h; ++row)
    for (int i = 0; i < w * 3; ++i) file[54 + row * 16 + i] = static_cast<std::uint8_t>(row * 10);
  const std::vector<std::uint8_t> jpeg = Encode(FromFile(file));
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  ASSERT_EQ(image.width, w);
  for (int y = 0; y < h; ++y) {
    const int stored = h - 1 - y;
    for (int x = 0; x < w; ++x)
      EXPECT_NEAR(image.rgb[(y * w + x) * 3 + 1], stored * 10, 12) << x << "," << y;
  }
}

TEST(JpegFileTest, StartsWithJfifAtNinetySixDotsPerInch) {
  const std::vector<std::uint8_t> jpeg = Encode(FromRgb(8, 8, Noise(8, 8, 1)));
  ASSERT_GT(jpeg.size(), 20u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);  // start of image
  EXPECT_EQ(jpeg[2], 0xFF);
  EXPECT_EQ(jpeg[3], 0xE0);  // APP0
  EXPECT_EQ(0, std::memcmp(&jpeg[6], "JFIF\0", 5));
  EXPECT_EQ(jpeg[13], 1);  // dots per inch
  EXPECT_EQ((jpeg[14] << 8) | jpeg[15], 96);
  EXPECT_EQ((jpeg[16] << 8) | jpeg[17], 96);
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);  // end of image
}

TEST(JpegFileTest, DensitiesTakeTheLowSixteenBits) {
  const std::vector<std::uint8_t> jpeg =
      Encode(FromRgb(8, 8, Noise(8, 8, 2)), JpegParams{0x10000 + 300, 72, 80});
  EXPECT_EQ((jpeg[14] << 8) | jpeg[15], 300);
  EXPECT_EQ((jpeg[16] << 8) | jpeg[17], 72);
}

TEST(JpegFileTest, QualityIsApplied) {
  const MemoryBitmap bitmap = FromRgb(64, 64, Noise(64, 64, 3));
  EXPECT_LT(Encode(bitmap, JpegParams{96, 96, 30}).size(), Encode(bitmap, kPhoto).size());
}

// Records every piece the destination hands over and the capacity after it.
class RecordingMemFile : public CxMemFile {
 public:
  std::size_t Write(const void* src, std::size_t itemSize, std::size_t count) override {
    const std::size_t written = CxMemFile::Write(src, itemSize, count);
    pieces.push_back(itemSize * count);
    capacities.push_back(Capacity());
    return written;
  }
  std::vector<std::size_t> pieces;
  std::vector<std::int32_t> capacities;
};

TEST(JpegMemoryTest, LargeOutputArrivesInPiecesAndGrowsTheBufferTwice) {
  const MemoryBitmap bitmap = FromRgb(400, 400, Noise(400, 400, 4));
  RecordingMemFile file;
  ASSERT_TRUE(file.Open());
  ASSERT_EQ(EncodeJpeg(file, bitmap.header(), bitmap.pixels(), kPhoto), kOk);
  ASSERT_GT(file.pieces.size(), 17u) << "the picture must make more than 17 x 4096 bytes";
  for (std::size_t i = 0; i + 1 < file.pieces.size(); ++i) EXPECT_EQ(file.pieces[i], 4096u) << i;
  EXPECT_GT(file.pieces.back(), 0u);
  EXPECT_LE(file.pieces.back(), 4096u);
  EXPECT_EQ(file.capacities[0], 65536);
  EXPECT_EQ(file.capacities[15], 65536);  // 16 pieces fill 65536 exactly
  EXPECT_EQ(file.capacities[16], 131072);

  std::size_t total = 0;
  for (std::size_t piece : file.pieces) total += piece;
  EXPECT_EQ(static_cast<std::size_t>(file.Size()), total);

  // The same picture into memory: the exact length, not the capacity.
  const std::vector<std::uint8_t> jpeg = Encode(bitmap);
  EXPECT_EQ(jpeg.size(), total);
  EXPECT_EQ(0, std::memcmp(jpeg.data(), file.GetBuffer(false), total));
  test::DecodedJpeg image;
  EXPECT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  EXPECT_EQ(image.width, 400);
}

TEST(JpegRefusalTest, ZeroOrNegativeSizeOrOtherDepthFailsBeforeTheLibrary) {
  struct Case {
    std::int32_t width, height;
    std::uint16_t bits;
  };
  for (const Case c : {Case{0, 4, 24}, Case{4, 0, 24}, Case{-4, 4, 24}, Case{4, -4, 24},
                       Case{4, 4, 32}, Case{4, 4, 8}}) {
    MemoryBitmap bitmap = FromRgb(4, 4, Noise(4, 4, 5));
    std::memcpy(&bitmap.block[4], &c.width, 4);
    std::memcpy(&bitmap.block[8], &c.height, 4);
    std::memcpy(&bitmap.block[14], &c.bits, 2);
    RecordingMemFile file;
    ASSERT_TRUE(file.Open());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(EncodeJpeg(file, bitmap.header(), bitmap.pixels(), kPhoto), kJpegEncodeFailed);
    // The library would have complained ("Empty JPEG image") and written.
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(file.pieces.empty());

    std::uint8_t sentinel = 0;
    std::uint8_t* jpeg = &sentinel;
    std::int32_t length = -5;
    EXPECT_EQ(EncodeJpegToMemory(jpeg, length, bitmap.header(), bitmap.pixels(), kPhoto),
              kJpegEncodeFailed);
    EXPECT_EQ(jpeg, &sentinel);
    EXPECT_EQ(length, -5);
  }
}

// A memory file whose writes fail from the n-th on, or whose Error reports.
class FailingMemFile : public CxMemFile {
 public:
  explicit FailingMemFile(int failFrom, bool errorAfterFlush = false)
      : failFrom_(failFrom), errorAfterFlush_(errorAfterFlush) {}
  std::size_t Write(const void* src, std::size_t itemSize, std::size_t count) override {
    return ++writes_ >= failFrom_ ? 0 : CxMemFile::Write(src, itemSize, count);
  }
  bool Flush() override {
    flushed = true;
    return CxMemFile::Flush();
  }
  std::int32_t Error() override { return errorAfterFlush_ && flushed ? 1 : CxMemFile::Error(); }
  bool flushed = false;

 private:
  int failFrom_;
  bool errorAfterFlush_;
  int writes_ = 0;
};

void ExpectWriteErrorReported(FailingMemFile& file, const MemoryBitmap& bitmap) {
  ::testing::internal::CaptureStderr();
  const ResultCode result = EncodeJpeg(file, bitmap.header(), bitmap.pixels(), kPhoto);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, kJpegEncodeFailed);
  EXPECT_NE(printed.find("Output file write error"), std::string::npos) << printed;
}

TEST(JpegFailureTest, FailedWriteOfAFullBufferIsAWriteError) {
  FailingMemFile file(1);
  ASSERT_TRUE(file.Open());
  ExpectWriteErrorReported(file, FromRgb(128, 128, Noise(128, 128, 6)));
}

TEST(JpegFailureTest, FailedWriteInTheMiddleIsAWriteError) {
  FailingMemFile file(3);
  ASSERT_TRUE(file.Open());
  ExpectWriteErrorReported(file, FromRgb(128, 128, Noise(128, 128, 7)));
}

TEST(JpegFailureTest, FailedFinalWriteIsAWriteError) {
  FailingMemFile file(1);  // a small picture: its only write is the last one
  ASSERT_TRUE(file.Open());
  ExpectWriteErrorReported(file, FromRgb(8, 8, Noise(8, 8, 8)));
}

TEST(JpegFailureTest, ErrorAfterFlushIsAWriteError) {
  FailingMemFile file(1000, true);
  ASSERT_TRUE(file.Open());
  ExpectWriteErrorReported(file, FromRgb(8, 8, Noise(8, 8, 9)));
  EXPECT_TRUE(file.flushed);
}

TEST(JpegFailureTest, EncoderIsUsableAgainAfterAFailure) {
  const MemoryBitmap bitmap = FromRgb(16, 16, Noise(16, 16, 10));
  FailingMemFile failing(1);
  ASSERT_TRUE(failing.Open());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EncodeJpeg(failing, bitmap.header(), bitmap.pixels(), kPhoto), kJpegEncodeFailed);
  ::testing::internal::GetCapturedStderr();
  const std::vector<std::uint8_t> jpeg = Encode(bitmap);
  test::DecodedJpeg image;
  EXPECT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
}

}  // namespace
}  // namespace talvex
