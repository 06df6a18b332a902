// Base64 text of the photo: the alphabet, padding, and the size check.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "photo/photo.h"
#include "photo_support.h"

namespace talvex {
namespace {

std::string Encode(const std::string& bytes) {
  std::vector<char> out(bytes.size() / 3 * 4 + 8, '#');
  const std::uint32_t n = Base64Encode(static_cast<std::uint32_t>(bytes.size()),
                                       reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       out.data(), static_cast<std::uint32_t>(out.size()));
  EXPECT_EQ(out[n], '\0');
  return std::string(out.data(), n);
}

TEST(Base64Test, KnownVectors) {
  EXPECT_EQ(Encode("f"), "Zg==");
  EXPECT_EQ(Encode("fo"), "Zm8=");
  EXPECT_EQ(Encode("foo"), "Zm9v");
  EXPECT_EQ(Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
}

TEST(Base64Test, EndOfTheAlphabet) {
  EXPECT_EQ(Encode("\xFB\xFF\xBF"), "+/+/");
  EXPECT_EQ(Encode(std::string("\0\0\0", 3)), "AAAA");
  EXPECT_EQ(Encode("\xFF\xFF\xFF"), "////");
  EXPECT_EQ(Encode("\xFF"), "/w==");
  EXPECT_EQ(Encode("\xFF\xFF"), "//8=");
}

TEST(Base64Test, EmptyInputWritesOnlyTheTerminator) {
  char out[2] = {'#', '#'};
  EXPECT_EQ(Base64Encode(0, nullptr, out, 1), 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], '#');
  out[0] = '#';
  EXPECT_EQ(Base64Encode(0, nullptr, out, 0), 0u);
  EXPECT_EQ(out[0], '#');
}

TEST(Base64Test, TooSmallCapacityWritesNothing) {
  const std::uint8_t data[3] = {1, 2, 3};
  char out[8];
  struct Case {
    std::uint32_t length, enough;
  };
  for (const Case c : {Case{1, 5}, Case{2, 5}, Case{3, 5}}) {
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Base64Encode(c.length, data, out, c.enough - 1), 0u) << c.length;
    for (char ch : out) EXPECT_EQ(ch, '#');
    EXPECT_EQ(Base64Encode(c.length, data, out, c.enough), 4u) << c.length;
    EXPECT_EQ(out[4], '\0');
  }
}

TEST(Base64Test, LengthsOfLongInputs) {
  std::vector<std::uint8_t> data(3001, 0xA5);
  std::vector<char> out(4100, '#');
  EXPECT_EQ(Base64Encode(3000, data.data(), out.data(), 4001), 4000u);
  EXPECT_EQ(out[4000], '\0');
  EXPECT_EQ(Base64Encode(3000, data.data(), out.data(), 4000), 0u);
  EXPECT_EQ(Base64Encode(3001, data.data(), out.data(), 4005), 4004u);
  EXPECT_EQ(std::string(out.data() + 4002, 2), "==");
}

TEST(Base64Test, HugeLengthDoesNotWrapTheSizeCheck) {
  // (0xFFFFFFFF + 2) wraps to 1 in 32 bits, asking for 5 bytes only.
  char out[8];
  std::memset(out, '#', sizeof out);
  const std::uint8_t byte = 0;
  EXPECT_EQ(Base64Encode(0xFFFFFFFFu, &byte, out, sizeof out), 0u);
  EXPECT_EQ(out[0], '#');
}

TEST(Base64Test, RoundTripOfEveryByteValueAtEveryRemainder) {
  for (std::size_t length : {254u, 255u, 256u, 257u}) {
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    std::vector<char> out((length + 2) / 3 * 4 + 1);
    const std::uint32_t n = Base64Encode(static_cast<std::uint32_t>(length), data.data(),
                                         out.data(), static_cast<std::uint32_t>(out.size()));
    ASSERT_EQ(n, out.size() - 1);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(test::DecodeBase64(std::string(out.data(), n), &back)) << length;
    EXPECT_EQ(back, data);
  }
}

}  // namespace
}  // namespace talvex
