// Writing the photo file and calling the decoder, through the decoder seam.
#include <fcntl.h>
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

// What the fake decoder saw and what it answers.
struct Calls {
  int count = 0;
  int mode = 0;
  std::string path;
  int answer = 1;
} calls;

int TALVEX_VENDOR_CALL FakeGetBmp(char* path, int mode) {
  ++calls.count;
  calls.mode = mode;
  calls.path = path;
  return calls.answer;
}

// A read block: T, P big-endian, then T text bytes and P photo bytes, each
// byte telling its own offset.
std::vector<std::uint8_t> Block(std::uint16_t textLength, std::uint16_t photoLength) {
  std::vector<std::uint8_t> block(4u + textLength + photoLength + 16);
  block[0] = static_cast<std::uint8_t>(textLength >> 8);
  block[1] = static_cast<std::uint8_t>(textLength);
  block[2] = static_cast<std::uint8_t>(photoLength >> 8);
  block[3] = static_cast<std::uint8_t>(photoLength);
  for (std::size_t i = 4; i < block.size(); ++i)
    block[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
  return block;
}

class DecodePhotoTest : public ::testing::Test {
 protected:
  void SetUp() override { calls = Calls{}; }
  ResultCode Decode(const std::vector<std::uint8_t>& block, const std::string& path,
                    std::int32_t selector = 2001) {
    return DecodePhoto(block.data(), test::Wide(path).c_str(), selector);
  }
  std::string PhotoPath() const { return dir_.File("image.wlt"); }

  test::ScratchDir dir_;
  ScopedPhotoDecoder fake_{FakeGetBmp};
};

TEST_F(DecodePhotoTest, FileHoldsExactlyThePhotoBytes) {
  const std::vector<std::uint8_t> block = Block(256, 1024);
  ASSERT_EQ(Decode(block, PhotoPath()), kOk);
  const std::vector<std::uint8_t> file = test::ReadBytes(PhotoPath());
  EXPECT_EQ(file, std::vector<std::uint8_t>(block.begin() + 260, block.begin() + 1284));
}

TEST_F(DecodePhotoTest, LengthsAreBigEndianAndThePhotoFollowsTheText) {
  // T = 0x012C (300), P = 0x0201 (513): read little-endian they would be
  // 0x2C01 and 0x0102.
  const std::vector<std::uint8_t> block = Block(300, 513);
  ASSERT_EQ(Decode(block, PhotoPath()), kOk);
  const std::vector<std::uint8_t> file = test::ReadBytes(PhotoPath());
  EXPECT_EQ(file, std::vector<std::uint8_t>(block.begin() + 304, block.begin() + 304 + 513));
}

TEST_F(DecodePhotoTest, OlderLongerFileIsReplaced) {
  test::WriteBytes(PhotoPath(), std::vector<std::uint8_t>(5000, 0x77));
  ASSERT_EQ(chmod(PhotoPath().c_str(), 0644), 0);
  ASSERT_EQ(Decode(Block(256, 1024), PhotoPath()), kOk);
  EXPECT_EQ(test::ReadBytes(PhotoPath()).size(), 1024u);
  struct stat st;
  ASSERT_EQ(stat(PhotoPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DecodePhotoTest, NewFileIsOwnerOnly) {
  ASSERT_EQ(Decode(Block(256, 1024), PhotoPath()), kOk);
  struct stat st;
  ASSERT_EQ(stat(PhotoPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DecodePhotoTest, ModeFollowsTheSelector) {
  struct Case {
    std::int32_t selector;
    int mode;
  };
  for (const Case c : {Case{1, 1}, Case{5, 1}, Case{32, 1}, Case{999, 1}, Case{1000, 2},
                       Case{1001, 2}, Case{2001, 2}, Case{-1, 1}, Case{INT_MIN, 1}}) {
    calls.mode = 0;
    ASSERT_EQ(Decode(Block(256, 1024), PhotoPath(), c.selector), kOk);
    EXPECT_EQ(calls.mode, c.mode) << "selector " << c.selector;
  }
}

TEST_F(DecodePhotoTest, DecoderReturnsMapToResultCodes) {
  struct Case {
    int answer;
    ResultCode code;
  };
  for (const Case c : {Case{1, 0}, Case{0, 256}, Case{-1, 257}, Case{-2, 258}, Case{-3, 259},
                       Case{-4, 260}, Case{-5, 263}, Case{-6, 262}, Case{-7, 263}, Case{2, 263},
                       Case{256, 263}, Case{INT_MIN, 263}, Case{INT_MAX, 263}}) {
    calls.answer = c.answer;
    EXPECT_EQ(Decode(Block(256, 1024), PhotoPath()), c.code) << "decoder returned " << c.answer;
  }
}

TEST_F(DecodePhotoTest, DecoderGetsTheFilesPathInUtf8) {
  const std::string sub = dir_.File("照片");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  const std::string path = sub + "/image.wlt";
  ASSERT_EQ(Decode(Block(256, 1024), path), kOk);
  EXPECT_EQ(calls.path, path);
  EXPECT_EQ(test::ReadBytes(path).size(), 1024u);
}

TEST_F(DecodePhotoTest, NoDecoderIs263AfterWritingTheFile) {
  ScopedPhotoDecoder none(nullptr);
  EXPECT_EQ(Decode(Block(256, 1024), PhotoPath()), kDecoderOtherError);
  EXPECT_EQ(test::ReadBytes(PhotoPath()).size(), 1024u);
  EXPECT_EQ(calls.count, 0);
}

TEST_F(DecodePhotoTest, ScopesRestoreTheDecoderBefore) {
  {
    ScopedPhotoDecoder none(nullptr);
    EXPECT_EQ(PhotoDecoder(), nullptr);
  }
  EXPECT_EQ(PhotoDecoder(), &FakeGetBmp);
}

TEST_F(DecodePhotoTest, SymlinkAtThePhotoPathIsNotFollowed) {
  const std::string target = dir_.File("elsewhere");
  test::WriteBytes(target, {'k', 'e', 'e', 'p'});
  ASSERT_EQ(symlink(target.c_str(), PhotoPath().c_str()), 0);
  EXPECT_EQ(Decode(Block(256, 1024), PhotoPath()), kFileError);
  EXPECT_EQ(test::ReadBytes(target), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(calls.count, 0);
}

TEST_F(DecodePhotoTest, DanglingSymlinkCreatesNothing) {
  const std::string target = dir_.File("would-be-created");
  ASSERT_EQ(symlink(target.c_str(), PhotoPath().c_str()), 0);
  EXPECT_EQ(Decode(Block(256, 1024), PhotoPath()), kFileError);
  EXPECT_FALSE(test::Exists(target));
}

TEST_F(DecodePhotoTest, UncreatableFileIs278WithoutDecoderCall) {
  EXPECT_EQ(Decode(Block(256, 1024), dir_.File("no-such-folder/image.wlt")), kFileError);
  ASSERT_EQ(mkdir(PhotoPath().c_str(), 0700), 0);  // a folder of that name
  EXPECT_EQ(Decode(Block(256, 1024), PhotoPath()), kFileError);
  EXPECT_EQ(calls.count, 0);
}

TEST_F(DecodePhotoTest, FifoAtThePhotoPathFailsWithoutBlocking) {
  ASSERT_EQ(mkfifo(PhotoPath().c_str(), 0600), 0);
  EXPECT_EQ(Decode(Block(256, 1024), PhotoPath()), kFileError);
  EXPECT_EQ(calls.count, 0);
}

TEST_F(DecodePhotoTest, FileHeldOpenUnsharedIs278) {
  platform::File holder = platform::File::CreateForWriting(test::Wide(PhotoPath()).c_str());
  ASSERT_TRUE(holder.IsOpen());
  std::size_t written = 0;
  ASSERT_TRUE(holder.Write("held", 4, &written));
  EXPECT_EQ(Decode(Block(256, 1024), PhotoPath()), kFileError);
  EXPECT_EQ(calls.count, 0);
  EXPECT_EQ(test::ReadBytes(PhotoPath()).size(), 4u);  // not emptied either
}

TEST_F(DecodePhotoTest, PathMustFitTheDecodersBuffer) {
  // 259 bytes and the terminator fit the 260-byte buffer; one more does not.
  const std::string base = dir_.path() + "/";
  const std::string name = "/image.wlt";
  auto makePath = [&](std::size_t total) {
    std::string folder = base + std::string(total - base.size() - name.size(), 'd');
    EXPECT_EQ(mkdir(folder.c_str(), 0700), 0) << folder.size();
    return folder + name;
  };
  ASSERT_LT(base.size() + name.size() + 1, 200u);
  const std::string fits = makePath(259);
  ASSERT_EQ(fits.size(), 259u);
  EXPECT_EQ(Decode(Block(256, 1024), fits), kOk);
  EXPECT_EQ(calls.path, fits);

  const std::string tooLong = makePath(260);
  calls.count = 0;
  EXPECT_EQ(Decode(Block(256, 1024), tooLong), kFileError);
  EXPECT_EQ(calls.count, 0);
  EXPECT_FALSE(test::Exists(tooLong));
}

TEST_F(DecodePhotoTest, MultibyteCharactersCountInBytes) {
  // 100 UTF-16 units, 300 UTF-8 bytes: fits in units, not in the buffer.
  std::string folder = dir_.path() + "/";
  for (int i = 0; i < 80; ++i) folder += "照";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(Decode(Block(256, 1024), folder + "/image.wlt"), kFileError);
  EXPECT_EQ(calls.count, 0);
}

}  // namespace
}  // namespace talvex
