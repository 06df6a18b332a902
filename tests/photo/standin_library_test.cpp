// The stand-in decoder library as built: GetBmp's answers and the bitmap it
// leaves, and the whole way from a card's photo block to the Base64 JPEG.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo/photo.h"
#include "photo_support.h"
#include "platform/dynlib.h"
#include "wlt-standin/standin_format.h"

namespace talvex {
namespace {

GetBmpFunction StandinGetBmp() {
  static const platform::DynamicLibrary library =
      platform::DynamicLibrary::LoadPath(TALVEX_STANDIN_DECODER);
  return reinterpret_cast<GetBmpFunction>(library.Symbol("GetBmp"));
}

class StandinLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(StandinGetBmp(), nullptr) << TALVEX_STANDIN_DECODER; }
  int Call(const std::string& name, int mode = 2) {
    std::string path = dir_.File(name);
    return StandinGetBmp()(path.data(), mode);
  }
  void WriteSample(const std::string& name, int variant = 0) {
    std::uint8_t block[1024];
    standin::MakeSamplePhoto(variant, block);
    test::WriteBytes(dir_.File(name), std::vector<std::uint8_t>(block, block + 1024));
  }
  test::ScratchDir dir_;
};

TEST_F(StandinLibraryTest, SampleBecomesA24BitBottomUpBitmapBesideIt) {
  test::WriteBytes(dir_.File("image.bmp"), std::vector<std::uint8_t>(100000, 1));  // replaced
  WriteSample("image.wlt", 1);
  ASSERT_EQ(Call("image.wlt"), 1);
  const std::vector<std::uint8_t> bmp = test::ReadBytes(dir_.File("image.bmp"));
  ASSERT_EQ(bmp.size(), 54u + 308u * 126u);
  auto le32 = [&bmp](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, &bmp[at], 4);
    return v;
  };
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(le32(2), bmp.size());
  EXPECT_EQ(le32(10), 54u);
  EXPECT_EQ(le32(14), 40u);
  EXPECT_EQ(le32(18), 102u);
  EXPECT_EQ(le32(22), 126u);  // positive: bottom-up
  EXPECT_EQ(bmp[28], 24);
  struct stat st;
  ASSERT_EQ(stat(dir_.File("image.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The decoded picture, bottom row first, blue green red.
  std::uint8_t block[1024];
  standin::MakeSamplePhoto(1, block);
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(standin::DecodeStandinPhoto(block, 1024, &rgb));
  for (const auto& [x, y] : {std::pair{0, 0}, {101, 0}, {0, 125}, {51, 70}}) {
    const std::uint8_t* stored = &bmp[54 + (125 - y) * 308 + x * 3];
    const std::uint8_t* want = &rgb[(y * 102 + x) * 3];
    EXPECT_TRUE(stored[0] == want[2] && stored[1] == want[1] && stored[2] == want[0])
        << x << "," << y;
  }
}

TEST_F(StandinLibraryTest, FailureAnswers) {
  for (const char* name : {"image.txt", "image.wlt.bak", "image", "IMAGE.WLT"}) WriteSample(name);
  ASSERT_EQ(mkdir(dir_.File("dir.wlt").c_str(), 0700), 0);
  WriteSample("dir.wlt/image");
  EXPECT_EQ(Call("image.txt"), -2);
  EXPECT_EQ(Call("image.wlt.bak"), -2);
  EXPECT_EQ(Call("image"), -2);
  EXPECT_EQ(Call("dir.wlt/image"), -2);
  EXPECT_EQ(Call("absent.wlt"), -3);
  EXPECT_EQ(StandinGetBmp()(nullptr, 1), -3);
  EXPECT_EQ(Call("IMAGE.WLT", 1), 1);  // any letter case; both modes decode
  EXPECT_EQ(Call("IMAGE.WLT", 0), -4);
  EXPECT_EQ(Call("IMAGE.WLT", 3), -4);
  test::WriteBytes(dir_.File("image.wlt"), std::vector<std::uint8_t>(1024, 0x41));
  EXPECT_EQ(Call("image.wlt"), -4);
  EXPECT_FALSE(test::Exists(dir_.File("image.bmp")));
  // A symlink planted at the bitmap's path is not followed.
  WriteSample("image.wlt");
  test::WriteBytes(dir_.File("target"), {'o', 'k'});
  ASSERT_EQ(symlink(dir_.File("target").c_str(), dir_.File("image.bmp").c_str()), 0);
  EXPECT_EQ(Call("image.wlt"), -4);
  EXPECT_EQ(test::ReadBytes(dir_.File("target")), (std::vector<std::uint8_t>{'o', 'k'}));
}

TEST_F(StandinLibraryTest, CardPhotoBlockBecomesTheBase64JpegOfItsPicture) {
  std::uint8_t photo[1024];
  standin::MakeSamplePhoto(2, photo);
  ScopedPhotoDecoder standin(StandinGetBmp());
  const std::u16string folder = test::Wide(dir_.path() + "/");
  ASSERT_EQ(DecodePhoto(photo, (folder + u"image.wlt").c_str(), 2001), kOk);
  std::string text;
  ASSERT_EQ(EncodePhoto((folder + u"image.bmp").c_str(), text), kOk);

  std::vector<std::uint8_t> jpeg, rgb;
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeBase64(text, &jpeg));
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  ASSERT_EQ(image.width, 102);
  ASSERT_EQ(image.height, 126);
  ASSERT_TRUE(standin::DecodeStandinPhoto(photo, 1024, &rgb));
  long total = 0;
  for (std::size_t i = 0; i < rgb.size(); ++i) total += std::abs(rgb[i] - image.rgb[i]);
  EXPECT_LT(static_cast<double>(total) / rgb.size(), 6.0);

  std::memset(photo, 0x33, sizeof photo);  // not the stand-in format
  EXPECT_EQ(DecodePhoto(photo, (folder + u"image.wlt").c_str(), 3), kDecoderFormatError);
}

}  // namespace
}  // namespace talvex
