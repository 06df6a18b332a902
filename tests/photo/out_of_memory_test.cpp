// The photo file and the bitmap file when the memory for their paths cannot
// be had: the card read gets its file error or its load failure as a result
// code, and nothing is thrown into the request.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "core/result.h"
#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo/photo.h"
#include "photo_support.h"

#include "support/refusing_allocator.h"

namespace talvex {
namespace {

int decoderCalls = 0;
int TALVEX_VENDOR_CALL CountingDecoder(char*, int) {
  ++decoderCalls;
  return 1;
}

TEST(OutOfMemory, PhotoFileThatCannotBeCreatedGives278WithoutTheDecoder) {
  test::ScratchDir dir;
  const std::u16string path = test::Wide(dir.File("image.wlt"));
  const std::vector<std::uint8_t> block(512, 0x5A);
  ScopedPhotoDecoder decoder(CountingDecoder);
  decoderCalls = 0;

  ResultCode rc = kOk;
  {
    RefusedAllocations refused;
    rc = DecodePhoto(block, path.c_str(), 2001);
  }
  EXPECT_EQ(rc, kFileError);
  EXPECT_EQ(decoderCalls, 0);
  EXPECT_FALSE(test::Exists(dir.File("image.wlt")));
}

TEST(OutOfMemory, BitmapThatCannotBeOpenedGives285AndAnEmptyPhotoText) {
  test::ScratchDir dir;
  test::WriteBytes(dir.File("image.bmp"), test::MakeBitmap(test::BitmapSpec{}));
  const std::u16string path = test::Wide(dir.File("image.bmp"));
  std::string photoText;

  ResultCode rc = kOk;
  {
    RefusedAllocations refused;
    rc = EncodePhoto(path.c_str(), photoText);
  }
  EXPECT_EQ(rc, kLoadImageFailed);
  EXPECT_TRUE(photoText.empty());
}

}  // namespace
}  // namespace talvex
