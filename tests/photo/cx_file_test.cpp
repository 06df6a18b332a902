// The memory file: the growth rule and the behaviour of each operation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "photo/cx_file.h"

namespace talvex {
namespace {

TEST(CxMemFileTest, GrowsInSteps) {
  struct Case {
    std::size_t first, second;
    std::int32_t afterFirst, afterSecond;
  };
  // Growth happens only when the end passes the capacity, to the smallest
  // multiple of 65536 above the need: a need of 65536 that grows gets 131072.
  for (const Case c : {Case{1, 0, 65536, 65536}, Case{65535, 1, 65536, 65536},
                       Case{65535, 2, 65536, 131072}, Case{65536, 0, 131072, 131072},
                       Case{4096, 61441, 65536, 131072}, Case{131072, 1, 196608, 196608}}) {
    CxMemFile file;
    ASSERT_TRUE(file.Open());
    EXPECT_EQ(file.Capacity(), 0);
    const std::vector<std::uint8_t> a(c.first, 1), b(c.second + 1, 2);
    ASSERT_EQ(file.Write(a.data(), 1, a.size()), a.size());
    EXPECT_EQ(file.Capacity(), c.afterFirst) << c.first;
    if (c.second != 0) {
      ASSERT_EQ(file.Write(b.data(), 1, c.second), c.second);
    }
    EXPECT_EQ(file.Capacity(), c.afterSecond) << c.first << "+" << c.second;
    EXPECT_EQ(file.Size(), static_cast<std::int32_t>(c.first + c.second));
    EXPECT_EQ(file.GetBuffer(false)[0], 1);
  }
}

TEST(CxMemFileTest, WriteCountsItemsAndRefusesNothing) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  const char data[] = "abcdefghijkl";
  EXPECT_EQ(file.Write(data, 3, 4), 4u);  // returns the count, not the bytes
  EXPECT_EQ(file.Write(nullptr, 1, 1), 0u);
  EXPECT_EQ(file.Write(data, 0, 1), 0u);
  EXPECT_EQ(file.Size(), 12);
  ASSERT_TRUE(file.Seek(2, 0));
  EXPECT_TRUE(file.PutByte('X'));
  EXPECT_EQ(file.Size(), 12);  // overwriting inside does not raise the size
  EXPECT_EQ(0, std::memcmp(file.GetBuffer(false), "abXdefghijkl", 12));
}

TEST(CxMemFileTest, WithoutBufferEveryOperationSaysSo) {
  CxMemFile file;
  std::uint8_t byte = 0;
  char line[4];
  EXPECT_EQ(file.Tell(), -1);
  EXPECT_EQ(file.Size(), -1);
  EXPECT_EQ(file.Error(), -1);
  EXPECT_FALSE(file.Flush());
  EXPECT_TRUE(file.Eof());
  EXPECT_FALSE(file.Seek(0, 0));
  EXPECT_EQ(file.Write(&byte, 1, 1), 0u);
  EXPECT_FALSE(file.PutByte(1));
  EXPECT_EQ(file.GetByte(), -1);
  EXPECT_EQ(file.GetLine(line, 4), nullptr);
}

TEST(CxMemFileTest, ReadSeekAndBytes) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  ASSERT_EQ(file.Write("0123456789\xFF", 1, 11), 11u);
  ASSERT_TRUE(file.Seek(-20, 1));  // clamped to 0
  EXPECT_EQ(file.Tell(), 0);
  char out[16] = {};
  EXPECT_EQ(file.Read(out, 4, 2), 2u);
  EXPECT_EQ(file.Read(out, 4, 2), 0u);  // 3 bytes left, no whole item of 4: copied anyway
  EXPECT_EQ(0, std::memcmp(out, "89\xFF", 3));
  EXPECT_TRUE(file.Eof());
  ASSERT_TRUE(file.Seek(-1, 2));
  EXPECT_EQ(file.GetByte(), 255);  // not sign-extended
  EXPECT_EQ(file.GetByte(), -1);
  EXPECT_FALSE(file.Seek(0, 3));
}

TEST(CxMemFileTest, GapPastTheEndIsZeroedAndReportedUntilFilled) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  ASSERT_EQ(file.Write("ab", 1, 2), 2u);
  ASSERT_TRUE(file.Seek(3, 2));
  EXPECT_EQ(file.Error(), 1);
  EXPECT_EQ(file.Write("z", 1, 1), 1u);
  EXPECT_EQ(file.Error(), 0);
  ASSERT_TRUE(file.Seek(2, 2));
  EXPECT_TRUE(file.PutByte('y'));
  EXPECT_EQ(0, std::memcmp(file.GetBuffer(false), "ab\0\0\0z\0\0y", 9));
}

TEST(CxMemFileTest, ForeignBufferIsCopiedNeverReallocated) {
  // realloc of this stack buffer would crash at once.
  std::uint8_t outside[8] = {'o', 'u', 't', 's', 'i', 'd', 'e', '!'};
  CxMemFile file(outside, 8);
  ASSERT_TRUE(file.Seek(0, 2));
  EXPECT_EQ(file.Write("++", 1, 2), 2u);
  EXPECT_EQ(0, std::memcmp(file.GetBuffer(false), "outside!++", 10));
  EXPECT_TRUE(file.Close());
}

TEST(CxMemFileTest, CloseAndDetach) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  ASSERT_EQ(file.Write("hello", 1, 5), 5u);
  std::uint8_t* taken = file.GetBuffer(true);
  EXPECT_TRUE(file.Close());  // no longer owned: left to the caller
  EXPECT_EQ(0, std::memcmp(taken, "hello", 5));
  std::free(taken);
  CxMemFile owned;
  ASSERT_TRUE(owned.Open());
  EXPECT_TRUE(owned.Close());
  EXPECT_EQ(owned.GetBuffer(false), nullptr);
}

TEST(CxMemFileTest, GetLineStopsAfterLineFeedOrAtTheLimit) {
  CxMemFile file;
  ASSERT_TRUE(file.Open());
  ASSERT_EQ(file.Write("one\ntwo three", 1, 13), 13u);
  ASSERT_TRUE(file.Seek(0, 0));
  char line[8];
  EXPECT_STREQ(file.GetLine(line, 8), "one\n");
  EXPECT_STREQ(file.GetLine(line, 8), "two thr");
  // "ee" and then the end, before a line feed or the limit: the call fails
  // and leaves the bytes it stored unterminated.
  std::memcpy(line, "keepXYZ", 8);
  EXPECT_EQ(file.GetLine(line, 8), nullptr);
  EXPECT_STREQ(line, "eeepXYZ");
  EXPECT_EQ(file.GetByte(), -1);
  std::memcpy(line, "keep", 5);
  EXPECT_EQ(file.GetLine(line, 8), nullptr);
  EXPECT_STREQ(line, "keep");  // nothing read at all
}

// The base class's PutByte goes through Write.
TEST(CxMemFileTest, BaseClassPutByteWritesOneByte) {
  struct Counting : CxMemFile {
    std::size_t Write(const void* src, std::size_t item, std::size_t count) override {
      ++writes;
      return CxMemFile::Write(src, item, count);
    }
    bool PutByte(std::uint8_t b) override { return CxFile::PutByte(b); }
    int writes = 0;
  } file;
  ASSERT_TRUE(file.Open());
  EXPECT_TRUE(file.PutByte('q'));
  EXPECT_EQ(file.writes, 1);
  EXPECT_EQ(file.Size(), 1);
}

}  // namespace
}  // namespace talvex
