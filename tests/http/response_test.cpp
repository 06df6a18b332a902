// Responses: the time text, the header block byte for byte, the bodies, and
// the send primitives' pieces and failure codes.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "http/response.h"
#include "support/fake_network.h"
#include "support/socket_pair.h"

namespace talvex {
namespace {

using platform::IoStatus;
using platform::WaitStatus;
using testing::FakeNetwork;
using testing::SocketPair;

std::string Time(std::int64_t t) {
  char out[kTimeTextCapacity];
  const std::size_t n = FormatTimeText(t, out);
  EXPECT_EQ(n, std::string(out).size());
  return out;
}

TEST(TimeText, FormatsUtcWithEnglishNamesAndFixedWidths) {
  EXPECT_EQ(Time(1709626147), "Tue, 05 Mar 2024 08:09:07 GMT");
  EXPECT_EQ(Time(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(Time(-1), "Wed, 31 Dec 1969 23:59:59 GMT");
  EXPECT_EQ(Time(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");   // leap day of a 400 year
  EXPECT_EQ(Time(4107542400), "Mon, 01 Mar 2100 00:00:00 GMT");  // 2100 is no leap year
  EXPECT_EQ(Time(253402300799), "Fri, 31 Dec 9999 23:59:59 GMT");
  EXPECT_EQ(Time(1709626147).size(), 29u);
}

TEST(TimeText, EveryMonthAndWeekdayNameAppears) {
  // The first day of each month of 2023 at noon, then seven days in a row.
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int monthStart[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const std::int64_t jan1 = 1672531200;  // Sun, 01 Jan 2023
  for (int m = 0; m < 12; ++m) {
    const std::string t = Time(jan1 + monthStart[m] * 86400LL + 43200);
    EXPECT_EQ(t.substr(5, 11), std::string("01 ") + months[m] + " 2023") << t;
  }
  const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  for (int d = 0; d < 7; ++d) EXPECT_EQ(Time(jan1 + d * 86400LL).substr(0, 3), days[d]);
}

TEST(HeaderBlock, IsTheNineFixedLinesByteForByte) {
  const std::string block = BuildHeaderBlock("Tue, 05 Mar 2024 08:09:07 GMT", 16);
  EXPECT_EQ(block,
            "HTTP/1.1 200 OK\r\n"
            "Date: Tue, 05 Mar 2024 08:09:07 GMT\r\n"
            "Server: Talvex Http Server\r\n"
            "Content-Type: text/plain;charset=utf-8\r\n"
            "Content-Length: 16\r\n"
            "Last-Modified: Tue, 05 Mar 2024 08:09:07 GMT\r\n"
            "access-control-allow-origin: *\r\n"
            "Cache-Control: no-cache,no-store\r\n"
            "\r\n");
  // 17 + (6+29+2) + 28 + 40 + (16+2+2) + (15+29+2) + 32 + 34 + 2
  EXPECT_EQ(block.size(), 17u + 37 + 28 + 40 + 20 + 46 + 32 + 34 + 2);
}

TEST(HeaderBlock, ContentLengthIsSignedDecimal) {
  EXPECT_NE(BuildHeaderBlock("T", 0).find("\r\nContent-Length: 0\r\n"), std::string::npos);
  EXPECT_NE(BuildHeaderBlock("T", 123456).find("\r\nContent-Length: 123456\r\n"),
            std::string::npos);
}

// ---- Send primitives with a scripted network.

TEST(SendPrimitives, SendAllCutsIntoPiecesOf1024) {
  FakeNetwork net;
  std::string data(2500, 'd');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  std::size_t sent = 0;
  EXPECT_EQ(SendAll(net, 5, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), sent),
            kOk);
  EXPECT_EQ(sent, 2500u);
  EXPECT_EQ(net.sendSizes, (std::vector<std::size_t>{1024, 1024, 452}));
  EXPECT_EQ(net.sentBytes, data);
}

TEST(SendPrimitives, PartialSendsContinueWhereTheyStopped) {
  FakeNetwork net;
  net.sendLimit = 700;
  std::string data(2500, 'd');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  std::size_t sent = 0;
  EXPECT_EQ(SendAll(net, 5, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), sent),
            kOk);
  EXPECT_EQ(net.sendSizes, (std::vector<std::size_t>{1024, 1024, 1024, 400}));
  EXPECT_EQ(net.sentBytes, data);
}

TEST(SendPrimitives, FailedPieceReportsTheBytesBeforeIt) {
  FakeNetwork net;
  net.sendScript = {IoStatus::kDone, IoStatus::kDone, IoStatus::kFailed};
  const std::string data(3000, 'x');
  std::size_t sent = 0;
  EXPECT_EQ(SendAll(net, 5, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), sent),
            kSocketError);
  EXPECT_EQ(sent, 2048u);
}

TEST(SendPrimitives, WaitOutcomesMapToTheirCodes) {
  struct Case {
    const char* what;
    IoStatus first;
    WaitStatus wait;
    int pendingError;
    ResultCode expected;
  };
  const Case cases[] = {
      {"send failed", IoStatus::kFailed, WaitStatus::kReady, 0, kSocketError},
      {"wait timed out", IoStatus::kWouldBlock, WaitStatus::kTimeout, 0, kNetTimeout},
      {"wait failed", IoStatus::kWouldBlock, WaitStatus::kFailed, 0, kSocketError},
      {"not in ready set", IoStatus::kWouldBlock, WaitStatus::kNotSet, 0, kSocketError},
      {"pending error", IoStatus::kWouldBlock, WaitStatus::kReady, 32, kSocketError},
      {"ready, then sent", IoStatus::kWouldBlock, WaitStatus::kReady, 0, kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNetwork net;
    net.sendScript = {c.first};
    net.waitScript = {c.wait};
    net.pendingErrorValue = c.pendingError;
    const std::uint8_t data[3] = {1, 2, 3};
    std::size_t sent = 99;
    EXPECT_EQ(SendSome(net, 5, data, 3, sent), c.expected);
    EXPECT_EQ(sent, c.expected == kOk ? 3u : 0u);
  }
}

// ---- Whole responses over a real connection.

struct ParsedResponse {
  std::string head;
  std::string body;
};

// Reads one response: the header block up to the empty line, then as many
// body bytes as its Content-Length says.
ParsedResponse ReadResponse(SocketPair& pair) {
  ParsedResponse r;
  while (r.head.size() < 4 || r.head.compare(r.head.size() - 4, 4, "\r\n\r\n") != 0) {
    const std::string c = pair.Read(1);
    if (c.empty()) return r;
    r.head += c;
  }
  std::smatch m;
  if (std::regex_search(r.head, m, std::regex("\r\nContent-Length: (\\d+)\r\n"))) {
    r.body = pair.Read(std::stoul(m[1]));
  }
  return r;
}

// The header block with its two time values replaced by "T".
std::string WithoutTime(const std::string& head, std::string* date, std::string* modified) {
  std::smatch d, l;
  const std::regex dateRe("\r\nDate: ([^\r]*)\r\n");
  const std::regex lmRe("\r\nLast-Modified: ([^\r]*)\r\n");
  EXPECT_TRUE(std::regex_search(head, d, dateRe));
  EXPECT_TRUE(std::regex_search(head, l, lmRe));
  *date = d[1];
  *modified = l[1];
  std::string out = std::regex_replace(head, dateRe, "\r\nDate: T\r\n");
  return std::regex_replace(out, lmRe, "\r\nLast-Modified: T\r\n");
}

TEST(ResponseOverSocket, FailureBodyIsCodeAndMessage) {
  struct Case {
    ResultCode code;
    const char* body;
    std::size_t length;
  };
  const Case cases[] = {
      {ResultCode{128}, "128|寻卡失败", 16},
      {ResultCode{1}, "1|打开端口失败", 20},
      {ResultCode{285}, "285|加载图片失败", 22},
      {ResultCode{289}, "289|未知错误", 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SocketPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_EQ(SendErrorResponse(pair.net(), pair.service(), c.code), kOk);
    const ParsedResponse r = ReadResponse(pair);
    std::string date, modified;
    EXPECT_EQ(WithoutTime(r.head, &date, &modified),
              BuildHeaderBlock("T", static_cast<std::int32_t>(c.length)));
    EXPECT_EQ(date, modified);
    EXPECT_TRUE(std::regex_match(
        date, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d [A-Z][a-z][a-z] \\d{4} "
                         "\\d\\d:\\d\\d:\\d\\d GMT")))
        << date;
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(r.body.size(), c.length);
  }
}

TEST(ResponseOverSocket, CardBodyIsResultTextThenPhotoWithTheirSummedLength) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok());
  const std::string text = "0|1|张三|1|男|";
  const std::string photo(3000, 'Q');
  ASSERT_EQ(SendCardResponse(pair.net(), pair.service(), text.c_str(),
                             static_cast<std::int32_t>(text.size()), photo.data(), photo.size()),
            kOk);
  const ParsedResponse r = ReadResponse(pair);
  std::string date, modified;
  EXPECT_EQ(WithoutTime(r.head, &date, &modified),
            BuildHeaderBlock("T", static_cast<std::int32_t>(text.size() + photo.size())));
  EXPECT_EQ(r.body, text + photo);
}

TEST(ResponseOverSocket, PeerThatVanishedGivesSocketErrorWithoutSignal) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok());
  pair.ClosePeer();
  const std::string big(200000, 'z');
  std::size_t sent = 0;
  // Without MSG_NOSIGNAL this would end the test process with SIGPIPE.
  EXPECT_EQ(SendAll(pair.net(), pair.service(), reinterpret_cast<const std::uint8_t*>(big.data()),
                    big.size(), sent),
            kSocketError);
  EXPECT_EQ(SendErrorResponse(pair.net(), pair.service(), ResultCode{128}), kSocketError);
}

// The system's writability wait really runs out on a full connection; the
// deadline keeps it short (without one each wait lasts kReadinessWaitMs).
TEST(ResponseOverSocket, ReaderThatNeverReadsTimesOutAtTheDeadline) {
  SocketPair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(platform::SetSendBufferSize(pair.service(), 4096));
  const std::string big(4 << 20, 'z');
  std::size_t sent = 0;
  const WaitLimits limits{nullptr, pair.net().NowMs() + 300};
  EXPECT_EQ(SendAll(pair.net(), pair.service(), reinterpret_cast<const std::uint8_t*>(big.data()),
                    big.size(), sent, limits),
            kNetTimeout);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, big.size());
}

}  // namespace
}  // namespace talvex
