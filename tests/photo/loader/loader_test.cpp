// DecodePhoto through the real library look-up: this executable has a fake
// libWltRS.so beside it, which must be found and called.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo/photo_support.h"
#include "platform/dynlib.h"

namespace talvex {
namespace {

TEST(LibraryLookupTest, LibraryBesideTheExecutableIsCalledAndItsAnswersMapped) {
  test::ScratchDir dir;
  setenv("TALVEX_FAKE_GETBMP_LOG", dir.File("calls.log").c_str(), 1);
  const std::vector<std::uint8_t> block(1024, 7);
  const std::u16string photo = test::Wide(dir.File("image.wlt"));
  EXPECT_EQ(DecodePhoto(block, photo.c_str(), 5), kOk);
  setenv("TALVEX_FAKE_GETBMP_ANSWER", "-6", 1);
  EXPECT_EQ(DecodePhoto(block, photo.c_str(), 2001), kDecoderDeviceError);
  setenv("TALVEX_FAKE_GETBMP_ANSWER", "7", 1);
  EXPECT_EQ(DecodePhoto(block, photo.c_str(), 1001), kDecoderOtherError);
  {
    ScopedPhotoDecoder none(nullptr);  // the seam still wins over the library
    EXPECT_EQ(DecodePhoto(block, photo.c_str(), 5), kDecoderOtherError);
  }
  const std::vector<std::uint8_t> log = test::ReadBytes(dir.File("calls.log"));
  const std::string path = dir.File("image.wlt");
  EXPECT_EQ(std::string(log.begin(), log.end()),
            "1 " + path + "\n2 " + path + "\n2 " + path + "\n");
  unsetenv("TALVEX_FAKE_GETBMP_LOG");
  unsetenv("TALVEX_FAKE_GETBMP_ANSWER");
}

TEST(DynamicLibraryTest, PlainNamesAreFoundBesideTheExecutableOnly) {
  std::string folder;
  ASSERT_TRUE(platform::ExecutableDirectory(&folder));
  EXPECT_TRUE(test::Exists(folder + platform::SharedLibraryFileName("WltRS")));
  platform::DynamicLibrary library = platform::DynamicLibrary::Load("libWltRS.so");
  ASSERT_TRUE(library.IsLoaded());
  EXPECT_EQ(library.Symbol("NoSuchFunction"), nullptr);
  platform::DynamicLibrary moved = std::move(library);
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_NE(moved.Symbol("GetBmp"), nullptr);
  // A relative path would be resolved from the current directory: refused.
  EXPECT_FALSE(platform::DynamicLibrary::Load("./libWltRS.so").IsLoaded());
  EXPECT_FALSE(platform::DynamicLibrary::Load("libTalvexNoSuchLibrary.so").IsLoaded());
}

}  // namespace
}  // namespace talvex
