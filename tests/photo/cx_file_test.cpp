// The memory file: each operation's behaviour, and how the buffer grows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "photo/cx_file.h"

namespace talvex {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

// A memory file opened the encoder's way and filled with `content`.
struct Filled {
  explicit Filled(const std::string& content) {
    EXPECT_TRUE(file.Open());
    if (!content.empty()) {
      EXPECT_EQ(file.Write(content.data(), 1, content.size()), content.size());
    }
    EXPECT_TRUE(file.Seek(0, 0));
  }
  CxMemFile file;
};

TEST(CxMemFileStateTest, WithoutBufferEverythingReportsIt) {
  CxMemFile file;
  std::uint8_t byte = 7;
  char line[8];
  EXPECT_EQ(file.Tell(), -1);
  EXPECT_EQ(file.Size(), -1);
  EXPECT_EQ(file.Error(), -1);
  EXPECT_FALSE(file.Flush());
  EXPECT_TRUE(file.Eof());
  EXPECT_FALSE(file.Seek(0, 0));
  EXPECT_EQ(file.Write(&byte, 1, 1), 0u);
  EXPECT_FALSE(file.PutByte(1));
  EXPECT_EQ(file.Read(&byte, 1, 1), 0u);
  EXPECT_EQ(file.GetByte(), -1);
  EXPECT_EQ(file.GetLine(line, sizeof line), nullptr);
  EXPECT_TRUE(file.Close());
}

TEST(CxMemFileStateTest, OpenedFileIsEmptyWithNoCapacity) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  EXPECT_NE(file.GetBuffer(false), nullptr);
  EXPECT_EQ(file.Size(), 0);
  EXPECT_EQ(file.Tell(), 0);
  EXPECT_EQ(file.Capacity(), 0);
  EXPECT_TRUE(file.Flush());
  EXPECT_TRUE(file.Eof());
  EXPECT_EQ(file.Error(), 0);
}

TEST(CxMemFileStateTest, CloseReleasesAnOwnedBuffer) {
  Filled f("abc");
  EXPECT_TRUE(f.file.Close());
  EXPECT_EQ(f.file.GetBuffer(false), nullptr);
  EXPECT_EQ(f.file.Size(), -1);
  EXPECT_TRUE(f.file.Close());
}

TEST(CxMemFileStateTest, DetachedBufferIsTheCallersAndSurvivesTheFile) {
  std::uint8_t* taken = nullptr;
  {
    Filled f("hello");
    taken = f.file.GetBuffer(true);
  }
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(0, std::memcmp(taken, "hello", 5));
  std::free(taken);
}

TEST(CxMemFileWriteTest, GrowsInWholeStepsStrictlyAboveTheNeed) {
  struct Case {
    std::size_t first, second;
    std::int32_t capacityAfterFirst, capacityAfterSecond;
  };
  // A need of exactly 65536 takes the next step when it triggers growth; a
  // write that just fills the capacity does not grow it.
  for (const Case c : {Case{1, 0, 65536, 65536}, Case{65535, 1, 65536, 65536},
                       Case{65535, 2, 65536, 131072}, Case{65536, 0, 131072, 131072},
                       Case{4096, 61440, 65536, 65536}, Case{4096, 61441, 65536, 131072},
                       Case{131071, 1, 131072, 131072}, Case{131072, 1, 196608, 196608}}) {
    CxMemFile file;
    ASSERT_TRUE(file.Open());
    const std::vector<std::uint8_t> a = Bytes(c.first), b = Bytes(c.second == 0 ? 1 : c.second, 9);
    ASSERT_EQ(file.Write(a.data(), 1, a.size()), a.size());
    EXPECT_EQ(file.Capacity(), c.capacityAfterFirst) << c.first;
    if (c.second != 0) {
      ASSERT_EQ(file.Write(b.data(), 1, b.size()), b.size());
      EXPECT_EQ(file.Capacity(), c.capacityAfterSecond) << c.first << "+" << c.second;
    }
    EXPECT_EQ(file.Size(), static_cast<std::int32_t>(c.first + c.second));
  }
}

TEST(CxMemFileWriteTest, KeepsBytesAcrossGrowthAndReturnsTheItemCount) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  const std::vector<std::uint8_t> data = Bytes(3 * 50000);
  ASSERT_EQ(file.Write(data.data(), 3, 50000), 50000u);  // items of 3 bytes
  ASSERT_EQ(file.Write(data.data(), 50000, 3), 3u);
  EXPECT_EQ(file.Size(), 300000);
  EXPECT_EQ(file.Tell(), 300000);
  const std::uint8_t* buffer = file.GetBuffer(false);
  EXPECT_EQ(0, std::memcmp(buffer, data.data(), data.size()));
  EXPECT_EQ(0, std::memcmp(buffer + data.size(), data.data(), data.size()));
}

TEST(CxMemFileWriteTest, RefusesNothingToWrite) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  const std::uint8_t byte = 1;
  EXPECT_EQ(file.Write(nullptr, 1, 1), 0u);
  EXPECT_EQ(file.Write(&byte, 0, 1), 0u);
  EXPECT_EQ(file.Write(&byte, 1, 0), 0u);
  EXPECT_EQ(file.Capacity(), 0);
  EXPECT_EQ(file.Size(), 0);
}

TEST(CxMemFileWriteTest, OverwritesInsideAndRaisesSizeOnlyPastIt) {
  Filled f("abcdef");
  ASSERT_TRUE(f.file.Seek(2, 0));
  EXPECT_EQ(f.file.Write("XY", 1, 2), 2u);
  EXPECT_EQ(f.file.Size(), 6);
  EXPECT_EQ(f.file.Tell(), 4);
  EXPECT_EQ(f.file.Write("ZZZ", 1, 3), 3u);
  EXPECT_EQ(f.file.Size(), 7);
  EXPECT_EQ(0, std::memcmp(f.file.GetBuffer(false), "abXYZZZ", 7));
}

TEST(CxMemFileWriteTest, GapLeftBySeekingPastTheEndReadsAsZeros) {
  Filled f("ab");
  ASSERT_TRUE(f.file.Seek(3, 2));  // three past the end
  EXPECT_EQ(f.file.Error(), 1);    // position beyond the size
  EXPECT_TRUE(f.file.PutByte('z'));
  EXPECT_EQ(f.file.Error(), 0);
  EXPECT_EQ(f.file.Size(), 6);
  EXPECT_EQ(0, std::memcmp(f.file.GetBuffer(false), "ab\0\0\0z", 6));
}

TEST(CxMemFileWriteTest, ForeignBufferIsCopiedNotReallocated) {
  // realloc of memory the file does not own would corrupt the heap; a stack
  // buffer makes that fatal at once.
  std::uint8_t outside[8] = {'o', 'u', 't', 's', 'i', 'd', 'e', '!'};
  CxMemFile file(outside, 8);
  ASSERT_TRUE(file.Seek(0, 2));
  EXPECT_EQ(file.Write("++", 1, 2), 2u);
  EXPECT_EQ(file.Size(), 10);
  EXPECT_EQ(0, std::memcmp(file.GetBuffer(false), "outside!++", 10));
  EXPECT_EQ(0, std::memcmp(outside, "outside!", 8));
}

TEST(CxMemFileReadTest, CopiesWhatIsLeftInWholeItems) {
  Filled f("0123456789");
  char out[16] = {};
  EXPECT_EQ(f.file.Read(out, 4, 2), 2u);  // 8 bytes
  EXPECT_EQ(0, std::memcmp(out, "01234567", 8));
  EXPECT_EQ(f.file.Read(out, 4, 2), 0u);  // 2 bytes left: no whole item of 4
  EXPECT_EQ(f.file.Tell(), 10);
  EXPECT_EQ(0, std::memcmp(out, "89", 2));
  EXPECT_EQ(f.file.Read(out, 1, 1), 0u);  // at the end
  ASSERT_TRUE(f.file.Seek(0, 0));
  EXPECT_EQ(f.file.Read(nullptr, 1, 1), 0u);
  EXPECT_EQ(f.file.Read(out, 0, 5), 0u);
  EXPECT_EQ(f.file.Tell(), 0);
}

TEST(CxMemFileSeekTest, OriginsAndClamping) {
  Filled f("0123456789");
  EXPECT_TRUE(f.file.Seek(4, 0));
  EXPECT_EQ(f.file.Tell(), 4);
  EXPECT_TRUE(f.file.Seek(3, 1));
  EXPECT_EQ(f.file.Tell(), 7);
  EXPECT_TRUE(f.file.Seek(-2, 2));
  EXPECT_EQ(f.file.Tell(), 8);
  EXPECT_TRUE(f.file.Seek(-20, 1));
  EXPECT_EQ(f.file.Tell(), 0);
  EXPECT_FALSE(f.file.Seek(1, 3));
  EXPECT_EQ(f.file.Tell(), 0);
}

TEST(CxMemFileByteTest, GetByteAndEof) {
  Filled f(std::string("\xFF\x01", 2));
  EXPECT_FALSE(f.file.Eof());
  EXPECT_EQ(f.file.GetByte(), 255);  // not sign-extended
  EXPECT_EQ(f.file.GetByte(), 1);
  EXPECT_TRUE(f.file.Eof());
  EXPECT_EQ(f.file.GetByte(), -1);
}

TEST(CxMemFileByteTest, PutByteGrowsLikeWrite) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  EXPECT_TRUE(file.PutByte(0xAB));
  EXPECT_EQ(file.Capacity(), 65536);
  for (int i = 1; i < 65536; ++i) ASSERT_TRUE(file.PutByte(static_cast<std::uint8_t>(i)));
  EXPECT_EQ(file.Capacity(), 65536);
  EXPECT_TRUE(file.PutByte(1));
  EXPECT_EQ(file.Capacity(), 131072);
  EXPECT_EQ(file.Size(), 65537);
  EXPECT_EQ(file.GetBuffer(false)[0], 0xAB);
  EXPECT_EQ(file.GetBuffer(false)[65535], 0xFF);
}

// The base class's PutByte goes through Write.
class CountingFile : public CxMemFile {
 public:
  std::size_t Write(const void* src, std::size_t itemSize, std::size_t count) override {
    ++writes;
    return fail ? 0 : CxMemFile::Write(src, itemSize, count);
  }
  bool PutByte(std::uint8_t byte) override { return CxFile::PutByte(byte); }
  int writes = 0;
  bool fail = false;
};

TEST(CxMemFileByteTest, BaseClassPutByteWritesOneByte) {
  CountingFile file;
  ASSERT_TRUE(file.Open());
  EXPECT_TRUE(file.PutByte('q'));
  EXPECT_EQ(file.writes, 1);
  EXPECT_EQ(file.Size(), 1);
  file.fail = true;
  EXPECT_FALSE(file.PutByte('r'));
}

TEST(CxMemFileLineTest, StopsAfterLineFeedOrAtTheLimit) {
  Filled f("one\ntwo three\nx");
  char line[8];
  ASSERT_EQ(f.file.GetLine(line, sizeof line), line);
  EXPECT_STREQ(line, "one\n");
  ASSERT_EQ(f.file.GetLine(line, sizeof line), line);
  EXPECT_STREQ(line, "two thr");  // n - 1 bytes
  ASSERT_EQ(f.file.GetLine(line, sizeof line), line);
  EXPECT_STREQ(line, "ee\n");
  ASSERT_EQ(f.file.GetLine(line, sizeof line), line);
  EXPECT_STREQ(line, "x");  // the end of the data ends the line
  std::memcpy(line, "keepme", 7);
  EXPECT_EQ(f.file.GetLine(line, sizeof line), nullptr);
  EXPECT_STREQ(line, "keepme");  // not terminated when nothing was read
}

TEST(CxMemFileLineTest, ScanIsNotSupported) {
  Filled f("12");
  int value = 0;
  EXPECT_EQ(f.file.Scan("%d", &value), 0);
  EXPECT_EQ(value, 0);
}

}  // namespace
}  // namespace talvex
