// The stand-in decoder library as built: GetBmp's answers and the bitmap it
// leaves, and the whole way from a photo file to the Base64 JPEG.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "photo/bitmap.h"
#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo/photo.h"
#include "photo_support.h"
#include "platform/dynlib.h"
#include "wlt-standin/standin_format.h"

namespace talvex {
namespace {

class StandinLibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ =
        new platform::DynamicLibrary(platform::DynamicLibrary::LoadPath(TALVEX_STANDIN_DECODER));
    getBmp_ = reinterpret_cast<GetBmpFunction>(library_->Symbol("GetBmp"));
  }
  static void TearDownTestSuite() {
    delete library_;
    library_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(getBmp_, nullptr) << TALVEX_STANDIN_DECODER; }

  int Call(const std::string& path, int mode = 2) {
    std::string copy = path;
    return getBmp_(copy.data(), mode);
  }
  std::string WriteSample(const std::string& name, int variant = 0) {
    std::uint8_t block[1024];
    standin::MakeSamplePhoto(variant, block);
    const std::string path = dir_.File(name);
    test::WriteBytes(path, std::vector<std::uint8_t>(block, block + 1024));
    return path;
  }

  static platform::DynamicLibrary* library_;
  static GetBmpFunction getBmp_;
  test::ScratchDir dir_;
};

platform::DynamicLibrary* StandinLibraryTest::library_ = nullptr;
GetBmpFunction StandinLibraryTest::getBmp_ = nullptr;

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

TEST_F(StandinLibraryTest, SampleBecomesA24BitBottomUpBitmapBesideIt) {
  const std::string photo = WriteSample("image.wlt", 1);
  ASSERT_EQ(Call(photo), 1);
  const std::vector<std::uint8_t> bmp = test::ReadBytes(dir_.File("image.bmp"));
  ASSERT_EQ(bmp.size(), 54u + 308u * 126u);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(Le32(bmp, 2), bmp.size());
  EXPECT_EQ(Le32(bmp, 10), 54u);
  EXPECT_EQ(Le32(bmp, 14), 40u);
  EXPECT_EQ(Le32(bmp, 18), 102u);
  EXPECT_EQ(Le32(bmp, 22), 126u);  // positive: bottom-up
  EXPECT_EQ(bmp[28], 24);
  struct stat st;
  ASSERT_EQ(stat(dir_.File("image.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The bitmap is the decoded picture, bottom row first, blue green red.
  std::uint8_t block[1024];
  standin::MakeSamplePhoto(1, block);
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(standin::DecodeStandinPhoto(block, 1024, &rgb));
  for (const auto& [x, y] : {std::pair{0, 0}, {101, 0}, {0, 125}, {51, 70}}) {
    const std::uint8_t* stored = &bmp[54 + (125 - y) * 308 + x * 3];
    const std::uint8_t* want = &rgb[(y * 102 + x) * 3];
    EXPECT_EQ(stored[0], want[2]) << x << "," << y;
    EXPECT_EQ(stored[1], want[1]) << x << "," << y;
    EXPECT_EQ(stored[2], want[0]) << x << "," << y;
  }
}

TEST_F(StandinLibraryTest, BothModesDecodeAndOthersAreRefused) {
  const std::string photo = WriteSample("image.wlt");
  EXPECT_EQ(Call(photo, 1), 1);
  EXPECT_EQ(Call(photo, 2), 1);
  EXPECT_EQ(Call(photo, 0), -4);
  EXPECT_EQ(Call(photo, 3), -4);
}

TEST_F(StandinLibraryTest, ExtensionMustBeWlt) {
  EXPECT_EQ(Call(WriteSample("image.txt")), -2);
  EXPECT_EQ(Call(WriteSample("image.wlt.bak")), -2);
  EXPECT_EQ(Call(WriteSample("image")), -2);
  ASSERT_EQ(mkdir(dir_.File("dir.wlt").c_str(), 0700), 0);
  EXPECT_EQ(Call(WriteSample("dir.wlt/image")), -2);
  EXPECT_EQ(Call(WriteSample("IMAGE.WLT")), 1);
  EXPECT_TRUE(test::Exists(dir_.File("IMAGE.bmp")));
}

TEST_F(StandinLibraryTest, MissingFileIsMinusThree) {
  EXPECT_EQ(Call(dir_.File("absent.wlt")), -3);
  EXPECT_EQ(getBmp_(nullptr, 1), -3);
}

TEST_F(StandinLibraryTest, AnythingNotInTheFormatIsMinusFour) {
  test::WriteBytes(dir_.File("image.wlt"), std::vector<std::uint8_t>(1024, 0x41));
  EXPECT_EQ(Call(dir_.File("image.wlt")), -4);
  test::WriteBytes(dir_.File("image.wlt"), {});
  EXPECT_EQ(Call(dir_.File("image.wlt")), -4);
  std::vector<std::uint8_t> large(70000, 0);
  std::uint8_t block[1024];
  standin::MakeSamplePhoto(0, block);
  std::memcpy(large.data(), block, 1024);
  test::WriteBytes(dir_.File("image.wlt"), large);
  EXPECT_EQ(Call(dir_.File("image.wlt")), -4);
  EXPECT_FALSE(test::Exists(dir_.File("image.bmp")));
}

TEST_F(StandinLibraryTest, SymlinkAtTheBitmapPathIsNotFollowed) {
  const std::string photo = WriteSample("image.wlt");
  const std::string target = dir_.File("target");
  test::WriteBytes(target, {'o', 'k'});
  ASSERT_EQ(symlink(target.c_str(), dir_.File("image.bmp").c_str()), 0);
  EXPECT_EQ(Call(photo), -4);
  EXPECT_EQ(test::ReadBytes(target), (std::vector<std::uint8_t>{'o', 'k'}));
}

TEST_F(StandinLibraryTest, OlderBitmapIsReplaced) {
  test::WriteBytes(dir_.File("image.bmp"), std::vector<std::uint8_t>(100000, 1));
  ASSERT_EQ(Call(WriteSample("image.wlt")), 1);
  EXPECT_EQ(test::ReadBytes(dir_.File("image.bmp")).size(), 54u + 308u * 126u);
}

TEST_F(StandinLibraryTest, CardPhotoBlockToBase64Jpeg) {
  // The read block as the reader delivers it: T = 256, P = 1024.
  std::vector<std::uint8_t> readBlock(4 + 256 + 1024, 0x20);
  readBlock[0] = 0x01;
  readBlock[1] = 0x00;
  readBlock[2] = 0x04;
  readBlock[3] = 0x00;
  std::uint8_t photo[1024];
  standin::MakeSamplePhoto(2, photo);
  std::memcpy(readBlock.data() + 260, photo, 1024);

  ScopedPhotoDecoder standin(getBmp_);
  const std::u16string folder = test::Wide(dir_.path() + "/");
  ASSERT_EQ(DecodePhoto(readBlock.data(), (folder + u"image.wlt").c_str(), 2001), kOk);
  std::string text;
  ASSERT_EQ(EncodePhoto((folder + u"image.bmp").c_str(), text), kOk);

  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(test::DecodeBase64(text, &jpeg));
  test::DecodedJpeg image;
  ASSERT_TRUE(test::DecodeJpeg(jpeg.data(), jpeg.size(), &image));
  EXPECT_EQ(image.width, 102);
  EXPECT_EQ(image.height, 126);
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(standin::DecodeStandinPhoto(photo, 1024, &rgb));
  long total = 0;
  for (std::size_t i = 0; i < rgb.size(); ++i) total += std::abs(rgb[i] - image.rgb[i]);
  EXPECT_LT(static_cast<double>(total) / rgb.size(), 6.0);
}

TEST_F(StandinLibraryTest, PhotoThatIsNotTheStandinFormatIs260) {
  std::vector<std::uint8_t> readBlock(4 + 256 + 1024, 0x33);
  readBlock[0] = 0x01;
  readBlock[1] = 0x00;
  readBlock[2] = 0x04;
  readBlock[3] = 0x00;
  ScopedPhotoDecoder standin(getBmp_);
  const std::u16string photo = test::Wide(dir_.File("image.wlt"));
  EXPECT_EQ(DecodePhoto(readBlock.data(), photo.c_str(), 3), kDecoderFormatError);
}

}  // namespace
}  // namespace talvex
