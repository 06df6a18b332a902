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

TEST(Base64Test, KnownTextsAndTheEndsOfTheAlphabet) {
  EXPECT_EQ(Encode("f"), "Zg==");
  EXPECT_EQ(Encode("fo"), "Zm8=");
  EXPECT_EQ(Encode("foo"), "Zm9v");
  EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Encode(std::string("\0\0\0", 3)), "AAAA");
  EXPECT_EQ(Encode("\xFB\xFF\xBF"), "+/+/");
  EXPECT_EQ(Encode("\xFF\xFF"), "//8=");
}

TEST(Base64Test, CapacityMustHoldTextAndTerminatorElseNothingIsWritten) {
  const std::uint8_t data[3] = {1, 2, 3};
  char out[8];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(Base64Encode(0, data, out, 0), 0u);
  EXPECT_EQ(out[0], '#');
  EXPECT_EQ(Base64Encode(0, data, out, 1), 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], '#');
  for (std::uint32_t length = 1; length <= 3; ++length) {
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Base64Encode(length, data, out, 4), 0u) << length;
    EXPECT_EQ(std::string(out, 8), "########");
    EXPECT_EQ(Base64Encode(length, data, out, 5), 4u) << length;
    EXPECT_EQ(out[4], '\0');
  }
  // (0xFFFFFFFF + 2) wraps to 1 in 32 bits: a requirement of 5 bytes.
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(Base64Encode(0xFFFFFFFFu, data, out, sizeof out), 0u);
  EXPECT_EQ(out[0], '#');
}

TEST(Base64Test, LongInputs) {
  std::vector<std::uint8_t> data(3001, 0xA5);
  std::vector<char> out(4100);
  EXPECT_EQ(Base64Encode(3000, data.data(), out.data(), 4001), 4000u);
  EXPECT_EQ(Base64Encode(3001, data.data(), out.data(), 4005), 4004u);
  EXPECT_EQ(std::string(out.data() + 4002), "==");
  for (std::size_t length : {255u, 256u, 257u}) {  // every remainder, every byte value
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::uint32_t n = Base64Encode(static_cast<std::uint32_t>(length), data.data(),
                                         out.data(), static_cast<std::uint32_t>(out.size()));
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(test::DecodeBase64(std::string(out.data(), n), &back)) << length;
    EXPECT_EQ(back, std::vector<std::uint8_t>(data.begin(), data.begin() + length));
  }
}

}  // namespace
}  // namespace talvex
