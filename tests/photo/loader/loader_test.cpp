// DecodePhoto through the real library look-up: this executable has a fake
// libWltRS.so beside it, which must be found and called.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo_support.h"
#include "platform/dynlib.h"

namespace talvex {
namespace {

class LibraryLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = dir_.File("calls.log");
    setenv("TALVEX_FAKE_GETBMP_LOG", log_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TALVEX_FAKE_GETBMP_LOG");
    unsetenv("TALVEX_FAKE_GETBMP_ANSWER");
  }
  ResultCode Decode(std::int32_t selector) {
    std::vector<std::uint8_t> block(4 + 256 + 1024, 7);
    block[0] = 1;
    block[1] = 0;
    block[2] = 4;
    block[3] = 0;
    return DecodePhoto(block.data(), test::Wide(dir_.File("image.wlt")).c_str(), selector);
  }
  std::string Log() {
    const std::vector<std::uint8_t> bytes = test::ReadBytes(log_);
    return std::string(bytes.begin(), bytes.end());
  }

  test::ScratchDir dir_;
  std::string log_;
};

TEST_F(LibraryLookupTest, LibraryBesideTheExecutableIsCalled) {
  ASSERT_EQ(Decode(5), kOk);
  ASSERT_EQ(Decode(2001), kOk);
  EXPECT_EQ(Log(), "1 " + dir_.File("image.wlt") + "\n2 " + dir_.File("image.wlt") + "\n");
}

TEST_F(LibraryLookupTest, AnswersOfTheLibraryAreMapped) {
  setenv("TALVEX_FAKE_GETBMP_ANSWER", "-6", 1);
  EXPECT_EQ(Decode(1001), kDecoderDeviceError);
  setenv("TALVEX_FAKE_GETBMP_ANSWER", "0", 1);
  EXPECT_EQ(Decode(1001), kDecoderSdtapiError);
  setenv("TALVEX_FAKE_GETBMP_ANSWER", "7", 1);
  EXPECT_EQ(Decode(1001), kDecoderOtherError);
}

TEST_F(LibraryLookupTest, SeamStillOverridesTheLibrary) {
  ScopedPhotoDecoder none(nullptr);
  EXPECT_EQ(Decode(5), kDecoderOtherError);
  EXPECT_EQ(Log(), "");
}

TEST(DynamicLibraryTest, LoadsByFileNameFromTheExecutablesFolder) {
  std::string folder;
  ASSERT_TRUE(platform::ExecutableDirectory(&folder));
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(test::Exists(folder + "libWltRS.so"));
  EXPECT_EQ(platform::SharedLibraryFileName("WltRS"), "libWltRS.so");
  platform::DynamicLibrary library = platform::DynamicLibrary::Load("libWltRS.so");
  ASSERT_TRUE(library.IsLoaded());
  EXPECT_NE(library.Symbol("GetBmp"), nullptr);
  EXPECT_EQ(library.Symbol("NoSuchFunction"), nullptr);
  platform::DynamicLibrary moved = std::move(library);
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_NE(moved.Symbol("GetBmp"), nullptr);
  moved.Close();
  EXPECT_EQ(moved.Symbol("GetBmp"), nullptr);
}

TEST(DynamicLibraryTest, NamesWithAFolderAreNotSearched) {
  // A relative path would otherwise be resolved from the current directory.
  EXPECT_FALSE(platform::DynamicLibrary::Load("./libWltRS.so").IsLoaded());
  EXPECT_FALSE(platform::DynamicLibrary::Load("").IsLoaded());
  EXPECT_FALSE(platform::DynamicLibrary::Load("libTalvexNoSuchLibrary.so").IsLoaded());
}

}  // namespace
}  // namespace talvex
