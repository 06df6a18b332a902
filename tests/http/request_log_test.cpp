// The request log's line: every field one token, whatever the client's
// address or the device's name holds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/request_log.h"
#include "platform/net.h"

namespace talvex {
namespace {

std::string Endpoint(const char* text, std::uint16_t port) {
  platform::IpAddress address;
  EXPECT_TRUE(platform::ParseIpAddress(text, &address)) << text;
  const std::string formatted = platform::FormatIpAddress(address);
  platform::IpAddress back;
  EXPECT_TRUE(platform::ParseIpAddress(formatted, &back)) << formatted;
  EXPECT_EQ(back.v6, address.v6);
  EXPECT_EQ(std::memcmp(back.bytes, address.bytes, sizeof back.bytes), 0) << formatted;
  return platform::FormatEndpoint(address, port);
}

TEST(RequestLogLine, AddressesInTheirShortestFormAndEveryFieldOneToken) {
  EXPECT_EQ(Endpoint("127.0.0.1", 53422), "127.0.0.1:53422");
  EXPECT_EQ(Endpoint("::1", 1), "[::1]:1");
  EXPECT_EQ(Endpoint("::", 80), "[::]:80");
  EXPECT_EQ(Endpoint("2001:DB8:0:0:0:0:0:1", 80), "[2001:db8::1]:80");
  // The longest run of zero groups, the first of two equal ones, never one alone.
  EXPECT_EQ(Endpoint("1:0:0:2:0:0:0:3", 80), "[1:0:0:2::3]:80");
  EXPECT_EQ(Endpoint("1:0:0:2:0:0:3:4", 80), "[1::2:0:0:3:4]:80");
  EXPECT_EQ(Endpoint("1:2:3:4:5:6:7:0", 80), "[1:2:3:4:5:6:7:0]:80");
  EXPECT_EQ(Endpoint("fe80::", 80), "[fe80::]:80");

  RequestLogEntry entry;
  entry.path = "/READCARD";
  entry.answer.code = kDecoderOtherError;
  entry.answer.read.transport = 2001;
  entry.answer.read.port = "/dev/my reader\n\xE4\xB8\x89";
  entry.answer.read.readerMs = 12;
  entry.answer.photoMs = 3;
  entry.sent = kNetTimeout;
  EXPECT_EQ(FormatRequestLine(entry),
            "request client=- path=/READCARD code=263 transport=hid port=/dev/my?reader???? "
            "reader_ms=12 photo_ms=3 sent=305");
  // A named serial port that did not open is still named.
  entry.answer.read = CardReadTrace();
  entry.answer.read.transport = 7;
  EXPECT_NE(FormatRequestLine(entry).find(" transport=serial port=COM7 "), std::string::npos);
}

}  // namespace
}  // namespace talvex
