// The request reader: tokenising, header rules, the body drain and the
// receive primitives' failure codes.
#include <gtest/gtest.h>

#include <string>

#include "http/request.h"
#include "support/fake_network.h"
#include "support/socket_pair.h"

namespace talvex {
namespace {

using platform::IoStatus;
using platform::WaitStatus;
using testing::FakeNetwork;
using testing::SocketPair;

std::u16string Latin1(std::string_view s) {
  std::u16string out;
  for (unsigned char c : s) out.push_back(c);
  return out;
}

// ---- Request line.

TEST(RequestLine, CardRequestNeedsExactMethodAndCaselessPath) {
  struct Case {
    const char* line;
    bool card;
  };
  const Case cases[] = {
      {"GET /readCard HTTP/1.1\r\n", true},
      {"GET /READCARD HTTP/1.1\r\n", true},
      {"GET /ReadCard HTTP/1.0\r\n", true},
      {"get /readCard HTTP/1.1\r\n", false},
      {"Get /readCard HTTP/1.1\r\n", false},
      {"POST /readCard HTTP/1.1\r\n", false},
      {"HEAD /readCard HTTP/1.1\r\n", false},
      {"GET /readCard?x=1 HTTP/1.1\r\n", false},
      {"GET /readCard/ HTTP/1.1\r\n", false},
      {"GET /readCar HTTP/1.1\r\n", false},
      {"GET /readCardd HTTP/1.1\r\n", false},
      {"GET /readCard\r\n", false},                // CR LF belongs to the path token
      {"  GET   /readCard   HTTP/1.1\r\n", true},  // runs of spaces are one separator
      {"\tGET /readCard HTTP/1.1\r\n", false},     // a tab is an ordinary character
      {"GET\t/readCard HTTP/1.1\r\n", false},
      {"GET /readCard\n HTTP/1.1\r\n", false},  // a lone LF is part of the token
      {"GET /readCard \r\n", true},             // the CR LF is a third token here
      {"GET\r\n", false},
      {"\r\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsCardRequestLine(Latin1(c.line)), c.card) << c.line;
  }
}

TEST(RequestLine, EventsRequestIsAGetOfEventsInAnyCase) {
  EXPECT_TRUE(IsEventsRequestLine(Latin1("GET /events HTTP/1.1\r\n")));
  EXPECT_TRUE(IsEventsRequestLine(Latin1("GET /EVENTS HTTP/1.1\r\n")));
  EXPECT_FALSE(IsEventsRequestLine(Latin1("POST /events HTTP/1.1\r\n")));
  EXPECT_FALSE(IsEventsRequestLine(Latin1("GET /events/ HTTP/1.1\r\n")));
  EXPECT_FALSE(IsEventsRequestLine(Latin1("GET /readCard HTTP/1.1\r\n")));
  EXPECT_FALSE(IsCardRequestLine(Latin1("GET /events HTTP/1.1\r\n")));
}

TEST(RequestLine, PathFoldsOnlyAsciiLetters) {
  // U+0130 and U+0131 fold to i/I in some locales; here they never match.
  std::u16string line = u"GET /readCard HTTP/1.1\r\n";
  line[6] = 0x0130;
  EXPECT_FALSE(IsCardRequestLine(line));
  line[6] = 0x00C5;  // a Latin-1 letter does not fold either
  EXPECT_FALSE(IsCardRequestLine(line));
}

// ---- Header lines and Content-Length.

TEST(HeaderLine, SplitsAtRunsOfColonsKeepingSpaces) {
  std::u16string_view name, value;
  ASSERT_TRUE(SplitHeaderLine(u"Content-Length: 12:30", name, value));
  EXPECT_EQ(name, u"Content-Length");
  EXPECT_EQ(value, u" 12");
  ASSERT_TRUE(SplitHeaderLine(u"::Host:::localhost:10012", name, value));
  EXPECT_EQ(name, u"Host");
  EXPECT_EQ(value, u"localhost");
  ASSERT_TRUE(SplitHeaderLine(u"Content-Length : 120", name, value));
  EXPECT_EQ(name, u"Content-Length ");
  ASSERT_TRUE(SplitHeaderLine(u"no colon at all", name, value));
  EXPECT_EQ(name, u"no colon at all");
  EXPECT_TRUE(value.empty());
  ASSERT_TRUE(SplitHeaderLine(u"Content-Length:", name, value));
  EXPECT_EQ(name, u"Content-Length");
  EXPECT_TRUE(value.empty());
  EXPECT_FALSE(SplitHeaderLine(u":", name, value));
  EXPECT_FALSE(SplitHeaderLine(u":::", name, value));
  EXPECT_FALSE(SplitHeaderLine(u"", name, value));
}

TEST(HeaderLine, DecimalValueFollowsWcstoulWithThirtyTwoBits) {
  struct Case {
    const char16_t* text;
    std::uint32_t value;
  };
  const Case cases[] = {
      {u"120", 120},
      {u" 120", 120},
      {u"\t\v\f\r\n 7", 7},
      {u"+7", 7},
      {u"12:30", 12},
      {u"12abc", 12},
      {u"1 2", 1},
      {u"000120", 120},
      {u"", 0},
      {u"   ", 0},
      {u"abc", 0},
      {u"+", 0},
      {u"-", 0},
      {u"+-5", 0},
      {u"- 5", 0},
      {u"4294967295", 4294967295u},
      {u"4294967296", 4294967295u},
      {u"99999999999999999999999999", 4294967295u},
      {u"-1", 4294967295u},
      {u"-5", 4294967291u},
      {u"-4294967295", 1u},
      {u"-4294967296", 4294967295u},
      {u"-0", 0},
  };
  for (const Case& c : cases) {
    std::u16string_view t(c.text);
    EXPECT_EQ(ParseUnsignedDecimal(t), c.value) << std::string(t.begin(), t.end());
  }
}

// ---- Whole requests over a real connection.

class RequestOverSocket : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pair.ok()); }
  ResultCode Read(int& flag) { return ReadRequest(pair.net(), pair.service(), flag); }
  // What the next request on the connection looks like to the reader.
  int NextFlag() {
    int flag = -1;
    EXPECT_EQ(Read(flag), kOk);
    return flag;
  }
  SocketPair pair;
};

TEST_F(RequestOverSocket, CardRequestWithHeadersGivesFlagOne) {
  pair.Write("GET /readCard HTTP/1.1\r\nHost: 127.0.0.1:10012\r\nAccept: */*\r\n\r\n");
  int flag = -1;
  EXPECT_EQ(Read(flag), kOk);
  EXPECT_EQ(flag, 1);
}

TEST_F(RequestOverSocket, AnnouncedBodyIsDrainedExactly) {
  // Each case: a header block announcing a body, the body, then a card request
  // that must be read cleanly only when the body was drained exactly.
  struct Case {
    const char* header;
    std::size_t body;
    bool nextIsCard;
  };
  const Case cases[] = {
      {"Content-Length: 100", 100, true},
      {"Content-Length:120", 120, true},
      {"Content-Length: 12:30", 12, true},
      {"Content-Length: 130", 130, true},  // pieces of 64: 64 + 64 + 2
      {"Content-Length", 0, true},
      {"Content-Length:", 0, true},
      {"content-length: 5", 5, false},   // not the header: body read as a request line
      {"Content-Length : 5", 5, false},  // space before the colon
      {"X: 1", 5, false},                // no Content-Length at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    SocketPair p;
    ASSERT_TRUE(p.ok());
    std::string req = "POST /upload HTTP/1.1\r\n";
    req += c.header;
    req += "\r\n\r\n";
    req += std::string(c.body, 'B');
    req += "GET /readCard HTTP/1.1\r\n\r\n";
    p.Write(req);
    int flag = -1;
    ASSERT_EQ(ReadRequest(p.net(), p.service(), flag), kOk);
    EXPECT_EQ(flag, 0);
    ASSERT_EQ(ReadRequest(p.net(), p.service(), flag), kOk);
    EXPECT_EQ(flag, c.nextIsCard ? 1 : 0);
  }
}

TEST_F(RequestOverSocket, LastContentLengthCounts) {
  pair.Write("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 10\r\n\r\n0123456789");
  pair.Write("GET /readCard HTTP/1.1\r\n\r\n");
  EXPECT_EQ(NextFlag(), 0);
  EXPECT_EQ(NextFlag(), 1);
}

TEST_F(RequestOverSocket, ColonOnlyLineIsSkippedAndLatin1BytesAreHarmless) {
  pair.Write(
      "GET /readCard HTTP/1.1\r\n:\r\nX-Name: \xE4\xFF\x01\r\nContent-Length: 4\r\n\r\nabcd"
      "GET /readcard HTTP/1.1\r\n\r\n");
  EXPECT_EQ(NextFlag(), 1);
  EXPECT_EQ(NextFlag(), 1);
}

TEST_F(RequestOverSocket, StrayEmptyLineSwallowsTheCardRequestBehindIt) {
  pair.Write("\r\nGET /readCard HTTP/1.1\r\n\r\nGET /readCard HTTP/1.1\r\n\r\n");
  EXPECT_EQ(NextFlag(), 0);
  EXPECT_EQ(NextFlag(), 1);
}

TEST_F(RequestOverSocket, OnlyCrLfEndsALine) {
  // A lone CR and a lone LF stay inside the header line; the block ends at
  // the first real empty line.
  pair.Write("GET /readCard HTTP/1.1\r\nA: 1\n\rB: 2\r\n\r\nGET /x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(NextFlag(), 1);
  EXPECT_EQ(NextFlag(), 0);
}

TEST_F(RequestOverSocket, PipelinedRequestsAreReadOneByOne) {
  pair.Write(
      "GET /readCard HTTP/1.1\r\n\r\nGET /other HTTP/1.1\r\n\r\nGET /READCARD HTTP/1.1\r\n\r\n");
  EXPECT_EQ(NextFlag(), 1);
  EXPECT_EQ(NextFlag(), 0);
  EXPECT_EQ(NextFlag(), 1);
}

TEST_F(RequestOverSocket, PeerClosingGivesPeerClosed) {
  pair.Write("GET /readCard HT");
  pair.ClosePeer();
  int flag = -1;
  EXPECT_EQ(Read(flag), kPeerClosed);
  EXPECT_EQ(flag, -1);  // not written before the request line arrived
}

TEST_F(RequestOverSocket, PeerClosingInTheHeadersGivesPeerClosedAfterTheFlag) {
  pair.Write("GET /readCard HTTP/1.1\r\nHost: x");
  pair.ClosePeer();
  int flag = -1;
  EXPECT_EQ(Read(flag), kPeerClosed);
  EXPECT_EQ(flag, 1);
}

TEST_F(RequestOverSocket, LineUpToTheCapIsReadAndOneByteMoreEndsTheRequest) {
  const std::string longest =
      "GET /readCard HTTP/1.1\r\nX: " + std::string(kMaxLineBytes - 5, 'a') + "\r\n\r\n";
  pair.Write(longest);
  EXPECT_EQ(NextFlag(), 1);
  SocketPair p;
  ASSERT_TRUE(p.ok());
  p.Write("GET /readCard HTTP/1.1\r\nX: " + std::string(kMaxLineBytes - 4, 'a') + "\r\n\r\n");
  int flag = -1;
  EXPECT_EQ(ReadRequest(p.net(), p.service(), flag), kSocketError);
}

// ---- Receive primitives with a scripted network.

TEST(ReceivePrimitives, WaitOutcomesMapToTheirCodes) {
  struct Case {
    const char* what;
    IoStatus first;
    WaitStatus wait;
    int pendingError;
    ResultCode expected;
  };
  const Case cases[] = {
      {"peer closed", IoStatus::kPeerClosed, WaitStatus::kReady, 0, kPeerClosed},
      {"receive failed", IoStatus::kFailed, WaitStatus::kReady, 0, kSocketError},
      {"wait timed out", IoStatus::kWouldBlock, WaitStatus::kTimeout, 0, kNetTimeout},
      {"wait failed", IoStatus::kWouldBlock, WaitStatus::kFailed, 0, kSocketError},
      {"not in ready set", IoStatus::kWouldBlock, WaitStatus::kNotSet, 0, kSocketError},
      {"pending error", IoStatus::kWouldBlock, WaitStatus::kReady, 104, kSocketError},
      {"ready, then data", IoStatus::kWouldBlock, WaitStatus::kReady, 0, kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNetwork net;
    net.received = "GET /readCard HTTP/1.1\r\n\r\n";
    net.receiveScript = {c.first};
    net.waitScript = {c.wait};
    net.pendingErrorValue = c.pendingError;
    int flag = -1;
    EXPECT_EQ(ReadRequest(net, 5, flag), c.expected);
    EXPECT_EQ(flag, c.expected == kOk ? 1 : -1);
  }
}

TEST(RequestTurns, ARequestHasFifteenSecondsInAllAndATurnIsBounded) {
  FakeNetwork net;
  RequestState state;
  Request request;
  // Bytes that keep coming, but not the whole request within 15 s of the
  // first: it is lost, and the connection reads the next one afresh.
  net.received = "GET /readCard HT";
  EXPECT_EQ(ReadRequest(net, 5, state, request), kOk);
  EXPECT_EQ(request.cardRequest, kRequestIncomplete);
  net.nowMs += 10000;
  net.received = "TP/1.1\r\nHost: x\r\n";
  EXPECT_EQ(ReadRequest(net, 5, state, request), kOk);
  EXPECT_EQ(request.cardRequest, kRequestIncomplete);
  net.nowMs += kRequestTimeMs - 10000;
  net.received = "\r\n";
  EXPECT_EQ(ReadRequest(net, 5, state, request), kNetTimeout);
  net.received = "GET /readCard HTTP/1.1\r\nOrigin:  https://a.example:8443 \r\n\r\n";
  EXPECT_EQ(ReadRequest(net, 5, state, request), kOk);
  EXPECT_EQ(request.cardRequest, 1);
  EXPECT_TRUE(request.hasOrigin);
  EXPECT_EQ(request.origin, "https://a.example:8443");

  // A client that sends without end gives the thread back after kTurnBytes.
  FakeNetwork flood;
  RequestState floodState;
  flood.received = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 3000; ++i) flood.received += "X-Pad: 0123456789\r\n";
  const std::size_t before = flood.received.size();
  EXPECT_EQ(ReadRequest(flood, 5, floodState, request), kOk);
  EXPECT_EQ(request.cardRequest, kRequestIncomplete);
  EXPECT_EQ(before - flood.received.size(), kTurnBytes);
}

TEST(ReceivePrimitives, PauseInALineGivesTimeoutAndLosesTheBytesReadSoFar) {
  FakeNetwork net;
  net.received = "GET /rea";
  int flag = -1;
  EXPECT_EQ(ReadRequest(net, 5, flag), kNetTimeout);
  EXPECT_EQ(flag, -1);
  net.received = "dCard HTTP/1.1\r\n\r\n";
  EXPECT_EQ(ReadRequest(net, 5, flag), kOk);
  EXPECT_EQ(flag, 0);
}

TEST(ReceivePrimitives, BodyDrainGivesUpAtTheFirstFailedPiece) {
  FakeNetwork net;
  net.received = "GET /readCard HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" + std::string(70, 'b');
  int flag = -1;
  EXPECT_EQ(ReadRequest(net, 5, flag), kOk);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(net.readableWaits, 1);  // one 15 s wait, not one per remaining piece
  EXPECT_TRUE(net.received.empty());
}

TEST(ReceivePrimitives, BodyIsReadInPiecesOf64) {
  FakeNetwork net;
  const std::string head = "GET /readCard HTTP/1.1\r\nContent-Length: 130\r\n\r\n";
  net.received = head + std::string(130, 'b') + "NEXT";
  int flag = -1;
  EXPECT_EQ(ReadRequest(net, 5, flag), kOk);
  const std::vector<std::size_t> tail(net.receiveSizes.end() - 3, net.receiveSizes.end());
  EXPECT_EQ(tail, (std::vector<std::size_t>{64, 64, 2}));
  EXPECT_EQ(net.received, "NEXT");
}

}  // namespace
}  // namespace talvex
