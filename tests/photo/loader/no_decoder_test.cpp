// DecodePhoto with no decoder library anywhere: the photo file is written and
// the answer is 263.
#include <gtest/gtest.h>

#include <vector>

#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo_support.h"
#include "platform/dynlib.h"

namespace talvex {
namespace {

TEST(MissingDecoderTest, DecodingFailsWith263) {
  if (platform::DynamicLibrary::Load("libWltRS.so").IsLoaded())
    GTEST_SKIP() << "a libWltRS.so is installed on this system";
  test::ScratchDir dir;
  std::vector<std::uint8_t> block(4 + 256 + 1024, 9);
  block[0] = 1;
  block[1] = 0;
  block[2] = 4;
  block[3] = 0;
  EXPECT_EQ(PhotoDecoder(), nullptr);
  EXPECT_EQ(DecodePhoto(block.data(), test::Wide(dir.File("image.wlt")).c_str(), 2001),
            kDecoderOtherError);
  EXPECT_EQ(test::ReadBytes(dir.File("image.wlt")).size(), 1024u);
}

}  // namespace
}  // namespace talvex
