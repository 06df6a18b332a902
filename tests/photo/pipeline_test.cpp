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
  ResultCode Encode(const std::vector<std::uint8_t>& bitmap, std::string& text) {
    test::WriteBytes(dir_.File("image.bmp"), bitmap);
    return EncodePhoto(test::Wide(dir_.File("image.bmp")).c_str(), text);
  }
  test::ScratchDir dir_;
};

TEST_F(EncodePhotoTest, TextIsTheBase64OfAnUprightJpeg) {
  std::vector<std::uint8_t> rgb(102 * 126 * 3);
  for (int y = 0; y < 126; ++y)
    for (int x = 0; x < 102; ++x) {
      rgb[(y * 102 + x) * 3] = static_cast<std::uint8_t>(x * 2);
      rgb[(y * 102 + x) * 3 + 1] = static_cast<std::uint8_t>(y * 2);
    }
  std::string text = "previous content is replaced";
  ASSERT_EQ(Encode(test::BitmapFromRgb(102, 126, rgb), text), kOk);
  EXPECT_EQ(text.size(), std::char_traits<char>::length(text.c_str()));
  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(test::DecodeBase64(text, &jpeg));
  EXPECT_EQ(text.size(), 4 * ((jpeg.size() + 2) / 3));
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  ASSERT_EQ(image.width, 102);
  ASSERT_EQ(image.height, 126);
  EXPECT_GT(image.rgb[101 * 3], 180);              // top right: red
  EXPECT_GT(image.rgb[(125 * 102) * 3 + 1], 220);  // bottom left: green
  EXPECT_LT(image.rgb[(125 * 102) * 3], 30);
}

TEST_F(EncodePhotoTest, FailuresLeaveTheTextAsItWas) {
  std::string text = "unchanged";
  EXPECT_EQ(EncodePhoto(test::Wide(dir_.File("missing.bmp")).c_str(), text), kLoadImageFailed);
  EXPECT_EQ(Encode(test::MakeBitmap({.bitsPerPixel = 32}), text), kLoadImageFailed);
  EXPECT_EQ(Encode(test::MakeBitmap({.width = 0}), text), kJpegEncodeFailed);
  EXPECT_EQ(text, "unchanged");
}

}  // namespace
}  // namespace talvex
