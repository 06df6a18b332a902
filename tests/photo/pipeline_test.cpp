// The photo pipeline: bitmap file in, Base64 JPEG text out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "photo/photo.h"
#include "photo_support.h"

namespace talvex {
namespace {

class EncodePhotoTest : public ::testing::Test {
 protected:
  std::u16string BitmapPath(const std::vector<std::uint8_t>& file) {
    const std::string path = dir_.File("image.bmp");
    test::WriteBytes(path, file);
    return test::Wide(path);
  }
  test::ScratchDir dir_;
};

std::vector<std::uint8_t> Gradient(int w, int h) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
      p[0] = static_cast<std::uint8_t>(x * 2);
      p[1] = static_cast<std::uint8_t>(y * 2);
      p[2] = 128;
    }
  return rgb;
}

TEST_F(EncodePhotoTest, TextIsTheBase64OfAJpegOfThePicture) {
  const std::u16string path = BitmapPath(test::BitmapFromRgb(102, 126, Gradient(102, 126)));
  std::string text = "previous content that must go";
  ASSERT_EQ(EncodePhoto(path.c_str(), text), kOk);
  ASSERT_EQ(text.size() % 4, 0u);
  EXPECT_EQ(
      text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
      std::string::npos);
  EXPECT_EQ(text.size(), std::char_traits<char>::length(text.c_str()));
  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(test::DecodeBase64(text, &jpeg));
  EXPECT_EQ(text.size(), 4 * ((jpeg.size() + 2) / 3));
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  EXPECT_EQ(image.width, 102);
  EXPECT_EQ(image.height, 126);
  // Top right is red-heavy, bottom left green-heavy: the picture is upright.
  const std::uint8_t* topRight = &image.rgb[101 * 3];
  const std::uint8_t* bottomLeft = &image.rgb[(125 * 102) * 3];
  EXPECT_GT(topRight[0], 180);
  EXPECT_LT(topRight[1], 30);
  EXPECT_LT(bottomLeft[0], 30);
  EXPECT_GT(bottomLeft[1], 220);
}

TEST_F(EncodePhotoTest, MissingBitmapIs285AndLeavesTheText) {
  std::string text = "unchanged";
  const std::u16string path = test::Wide(dir_.File("image.bmp"));
  EXPECT_EQ(EncodePhoto(path.c_str(), text), kLoadImageFailed);
  EXPECT_EQ(text, "unchanged");
  std::string empty;
  EXPECT_EQ(EncodePhoto(path.c_str(), empty), kLoadImageFailed);
  EXPECT_TRUE(empty.empty());
}

TEST_F(EncodePhotoTest, UnloadableBitmapIs285) {
  test::BitmapSpec spec;
  spec.bitsPerPixel = 32;
  const std::u16string path = BitmapPath(test::MakeBitmap(spec));
  std::string text;
  EXPECT_EQ(EncodePhoto(path.c_str(), text), kLoadImageFailed);
  EXPECT_TRUE(text.empty());
}

TEST_F(EncodePhotoTest, EncoderRefusalPassesThrough) {
  test::BitmapSpec spec;  // loads, but there is nothing to encode
  spec.width = 0;
  const std::u16string path = BitmapPath(test::MakeBitmap(spec));
  std::string text;
  EXPECT_EQ(EncodePhoto(path.c_str(), text), kJpegEncodeFailed);
  EXPECT_TRUE(text.empty());
}

TEST_F(EncodePhotoTest, OnePixelPicture) {
  const std::u16string path = BitmapPath(test::BitmapFromRgb(1, 1, {200, 100, 50}));
  std::string text;
  ASSERT_EQ(EncodePhoto(path.c_str(), text), kOk);
  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(test::DecodeBase64(text, &jpeg));
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  EXPECT_NEAR(image.rgb[0], 200, 8);
  EXPECT_NEAR(image.rgb[1], 100, 8);
  EXPECT_NEAR(image.rgb[2], 50, 8);
}

}  // namespace
}  // namespace talvex
