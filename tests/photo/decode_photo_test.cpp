// Writing the photo file and calling the decoder, through the decoder seam.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "photo/decode_photo.h"
#include "photo/decoder.h"
#include "photo_support.h"
#include "platform/fs.h"

namespace talvex {
namespace {

struct Calls {
  int count = 0, mode = 0, answer = 1;
  std::string path;
} calls;

int TALVEX_VENDOR_CALL FakeGetBmp(char* path, int mode) {
  ++calls.count;
  calls.mode = mode;
  calls.path = path;
  return calls.answer;
}

// A photo block of `size` bytes that tell their own offset.
std::vector<std::uint8_t> PhotoBlock(std::size_t size) {
  std::vector<std::uint8_t> block(size);
  for (std::size_t i = 0; i < size; ++i) block[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
  return block;
}

class DecodePhotoTest : public ::testing::Test {
 protected:
  void SetUp() override { calls = Calls{}; }
  ResultCode Decode(const std::string& path, std::int32_t selector = 2001,
                    const std::vector<std::uint8_t>& block = PhotoBlock(1024)) {
    return DecodePhoto(block, test::Wide(path).c_str(), selector);
  }
  std::string Photo() const { return dir_.File("image.wlt"); }
  std::uint32_t Mode(const std::string& path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    return st.st_mode & 0777;
  }

  test::ScratchDir dir_;
  ScopedPhotoDecoder fake_{FakeGetBmp};
};

TEST_F(DecodePhotoTest, FileHoldsExactlyThePhotoBytes) {
  const std::vector<std::uint8_t> block = PhotoBlock(1024);
  ASSERT_EQ(Decode(Photo(), 2001, block), kOk);
  EXPECT_EQ(test::ReadBytes(Photo()), block);
  EXPECT_EQ(Mode(Photo()), 0600u);
  const std::vector<std::uint8_t> other = PhotoBlock(513);
  ASSERT_EQ(Decode(Photo(), 2001, other), kOk);
  EXPECT_EQ(test::ReadBytes(Photo()), other);
}

TEST_F(DecodePhotoTest, OlderLongerFileIsReplacedAndMadePrivate) {
  test::WriteBytes(Photo(), std::vector<std::uint8_t>(5000, 0x77));
  ASSERT_EQ(chmod(Photo().c_str(), 0644), 0);
  ASSERT_EQ(Decode(Photo()), kOk);
  EXPECT_EQ(test::ReadBytes(Photo()).size(), 1024u);
  EXPECT_EQ(Mode(Photo()), 0600u);
}

TEST_F(DecodePhotoTest, ModeFollowsTheSelector) {
  const std::pair<std::int32_t, int> cases[] = {{1, 1},    {5, 1},    {999, 1}, {1000, 2},
                                                {1001, 2}, {2001, 2}, {-1, 1},  {INT_MIN, 1}};
  for (const auto& [selector, mode] : cases) {
    ASSERT_EQ(Decode(Photo(), selector), kOk);
    EXPECT_EQ(calls.mode, mode) << "selector " << selector;
  }
}

TEST_F(DecodePhotoTest, DecoderAnswersBecomeResultCodes) {
  const std::pair<int, std::int32_t> cases[] = {
      {1, 0},    {0, 256},  {-1, 257}, {-2, 258}, {-3, 259},      {-4, 260},
      {-5, 263}, {-6, 262}, {-7, 263}, {2, 263},  {INT_MIN, 263}, {INT_MAX, 263}};
  for (const auto& [answer, code] : cases) {
    calls.answer = answer;
    EXPECT_EQ(ToNumber(Decode(Photo())), code) << "decoder answered " << answer;
  }
}

TEST_F(DecodePhotoTest, DecoderGetsTheUtf8PathAndNoDecoderIs263) {
  const std::string sub = dir_.File("照片");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_EQ(Decode(sub + "/image.wlt"), kOk);
  EXPECT_EQ(calls.path, sub + "/image.wlt");
  {
    ScopedPhotoDecoder none(nullptr);
    EXPECT_EQ(Decode(Photo()), kDecoderOtherError);
    EXPECT_EQ(test::ReadBytes(Photo()).size(), 1024u);  // written all the same
  }
  EXPECT_EQ(PhotoDecoder(), &FakeGetBmp);  // the scope restored the one before
}

TEST_F(DecodePhotoTest, FileThatCannotBeMadeIs278AndTheDecoderIsNotCalled) {
  test::WriteBytes(dir_.File("target"), {'k', 'e', 'e', 'p'});
  ASSERT_EQ(symlink(dir_.File("target").c_str(), dir_.File("link.wlt").c_str()), 0);
  ASSERT_EQ(symlink(dir_.File("created").c_str(), dir_.File("dangling.wlt").c_str()), 0);
  ASSERT_EQ(mkdir(dir_.File("folder.wlt").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(dir_.File("fifo.wlt").c_str(), 0600), 0);  // must not block either
  platform::File holder =
      platform::File::CreateForWriting(test::Wide(dir_.File("held.wlt")).c_str());
  std::size_t written = 0;
  ASSERT_TRUE(holder.Write("held", 4, &written));
  for (const char* name : {"link.wlt", "dangling.wlt", "folder.wlt", "fifo.wlt", "held.wlt",
                           "no-such-folder/image.wlt"}) {
    EXPECT_EQ(Decode(dir_.File(name)), kFileError) << name;
  }
  EXPECT_EQ(calls.count, 0);
  EXPECT_EQ(test::ReadBytes(dir_.File("target")), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(test::Exists(dir_.File("created")));
  EXPECT_EQ(test::ReadBytes(dir_.File("held.wlt")).size(), 4u);  // not emptied under its holder
}

TEST_F(DecodePhotoTest, PathMustFitTheDecodersBufferInBytes) {
  // 259 bytes and the terminator fit the 260-byte buffer; 260 do not.
  auto pathOf = [&](std::size_t total, const std::string& unit) {
    std::string folder = dir_.path() + "/";
    while (folder.size() + unit.size() + 10 <= total) folder += unit;
    folder += std::string(total - folder.size() - 10, 'd');
    EXPECT_EQ(mkdir(folder.c_str(), 0700), 0);
    return folder + "/image.wlt";
  };
  const std::string fits = pathOf(259, "d");
  ASSERT_EQ(fits.size(), 259u);
  EXPECT_EQ(Decode(fits), kOk);
  EXPECT_EQ(calls.path, fits);
  // Multibyte names count in bytes: 80 characters of 3 bytes each.
  for (const std::string& tooLong : {pathOf(260, "e"), pathOf(dir_.path().size() + 251, "照")}) {
    calls.count = 0;
    EXPECT_EQ(Decode(tooLong), kFileError) << tooLong.size();
    EXPECT_EQ(calls.count, 0);
    EXPECT_FALSE(test::Exists(tooLong));
  }
}

}  // namespace
}  // namespace talvex
