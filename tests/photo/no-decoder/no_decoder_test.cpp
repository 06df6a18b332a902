// DecodePhoto with no decoder library anywhere: the photo file is written and
// the answer is 263.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <vector>

#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo/photo_support.h"
#include "platform/dynlib.h"

#include "support/refusing_allocator.h"

namespace talvex {
namespace {

// The first look-up of the library cannot get its memory: the request gets
// 277 after the photo file was written, and a later request looks again. The
// photo path is relative and short, so that writing the file needs no memory
// of its own; the look-up is the first thing that does. Defined first, so
// that no earlier test in this program has done the look-up.
TEST(MissingDecoderTest, LookUpWithoutMemoryGives277AndIsTriedAgain) {
  test::ScratchDir dir;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::vector<std::uint8_t> block(512, 7);
  ResultCode rc = kOk;
  {
    RefusedAllocations refused;
    rc = DecodePhoto(block, u"image.wlt", 1);
  }
  EXPECT_EQ(rc, kOutOfMemory);
  EXPECT_EQ(test::ReadBytes(dir.File("image.wlt")).size(), 512u);
  if (!platform::DynamicLibrary::Load("libWltRS.so").IsLoaded()) {
    EXPECT_EQ(DecodePhoto(block, u"image.wlt", 1), kDecoderOtherError);
  }
  std::filesystem::current_path(before);
}

TEST(MissingDecoderTest, DecodingFailsWith263) {
  if (platform::DynamicLibrary::Load("libWltRS.so").IsLoaded())
    GTEST_SKIP() << "a libWltRS.so is installed on this system";
  test::ScratchDir dir;
  const std::vector<std::uint8_t> block(1024, 9);
  EXPECT_EQ(PhotoDecoder(), nullptr);
  EXPECT_EQ(DecodePhoto(block, test::Wide(dir.File("image.wlt")).c_str(), 2001),
            kDecoderOtherError);
  EXPECT_EQ(test::ReadBytes(dir.File("image.wlt")).size(), 1024u);
}

}  // namespace
}  // namespace talvex
