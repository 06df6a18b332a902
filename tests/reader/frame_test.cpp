// The frame exchange: request frames, the order of the response checks, the
// status pass-through and the transport failures, over a scripted serial line.
#include "reader/frame.h"

#include <gtest/gtest.h>

#include "reader/serial.h"
#include "reader/session.h"
#include "support/fake_reader.h"

namespace talvex {
namespace {

using test::Bytes;
using test::FakeLine;
using test::ResponseFrame;

TEST(RequestFrames, EachCarriesPreambleLenAndAValidChecksum) {
  const struct {
    const std::uint8_t* bytes;
    std::size_t size;
  } frames[] = {{kStartupFrame, sizeof kStartupFrame},
                {kProbeFrame, sizeof kProbeFrame},
                {kFindCardFrame, sizeof kFindCardFrame},
                {kSelectCardFrame, sizeof kSelectCardFrame},
                {kReadBaseMessageFrame, sizeof kReadBaseMessageFrame}};
  for (const auto& f : frames) {
    const Bytes b(f.bytes, f.bytes + f.size);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), (Bytes{0xAA, 0xAA, 0xAA, 0x96, 0x69}));
    EXPECT_EQ(std::size_t{b[5]} << 8 | b[6], f.size - 7);
    std::uint8_t sum = 0;
    for (std::size_t i = 5; i < f.size; ++i) sum ^= b[i];
    EXPECT_EQ(sum, 0) << "frame of command " << int{b[7]};
  }
}

class FrameExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.transport = 5;
    ctx.device = std::make_unique<test::FakeSerialPort>(line);
  }
  ResultCode Answer(const Bytes& answer) {
    line.script = [answer](const Bytes&) { return answer; };
    return ExchangeFrame(ctx, kFindCardFrame, sizeof kFindCardFrame);
  }
  bool ReadBody() const {
    for (const std::string& e : line.events) {
      if (e.rfind("read ", 0) == 0 && e != "read 7") return true;
    }
    return false;
  }
  FakeLine line;
  ReaderContext ctx;
};

TEST_F(FrameExchange, StatusByteThreePassesThroughAndTheOthersAreIgnored) {
  const struct {
    std::uint8_t sw3;
    std::int32_t expected;
  } cases[] = {{0x90, 0},   {0x00, 0}, {0x9F, 159}, {0x80, 128},
               {0x81, 129}, {0x01, 1}, {0x41, 65},  {0xFF, 255}};
  for (const auto& c : cases) {
    EXPECT_EQ(ToNumber(Answer(ResponseFrame(c.sw3, {1, 2, 3}, 0x6A, 0x90))), c.expected)
        << int{c.sw3};
    EXPECT_EQ(ctx.dataLength, 3) << "an error status still records the data length";
  }
  EXPECT_EQ(line.requests.back(), Bytes(kFindCardFrame, kFindCardFrame + 10));
}

TEST_F(FrameExchange, LenOutsideFourTo2361IsRefusedBeforeAnyBodyIsRead) {
  for (std::uint32_t len : {0u, 3u, 2362u, 0xFFFFu}) {
    line.events.clear();
    Bytes head = {0xAA,
                  0xAA,
                  0xAA,
                  0x96,
                  0x69,
                  static_cast<std::uint8_t>(len >> 8),
                  static_cast<std::uint8_t>(len)};
    head.resize(40, 0x90);
    EXPECT_EQ(Answer(head), kBadResponseLength) << len;
    EXPECT_FALSE(ReadBody()) << len;
    EXPECT_EQ(ctx.dataLength, 0);
  }
  EXPECT_EQ(Answer(ResponseFrame(0x90)), kOk);  // LEN 4, no data
  EXPECT_EQ(ctx.dataLength, 0);
}

TEST_F(FrameExchange, LargestFrameFillsTheReceiveBufferExactly) {
  const Bytes frame = ResponseFrame(0x90, Bytes(2357, 0xC3));
  ASSERT_EQ(frame.size(), kRxBufferSize);
  EXPECT_EQ(Answer(frame), kOk);
  EXPECT_EQ(ctx.dataLength, 2357);
  EXPECT_EQ(ctx.rxBuffer[kRxBufferSize - 1], frame.back());
}

TEST_F(FrameExchange, PreambleMustStandAtTheFirstByte) {
  Bytes stray = {0x00};
  const Bytes good = ResponseFrame(0x90);
  stray.insert(stray.end(), good.begin(), good.end());
  EXPECT_EQ(Answer(stray), kBadResponseHead);
  for (std::size_t i = 0; i < 5; ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    EXPECT_EQ(Answer(bad), kBadResponseHead) << i;
  }
  // The preamble is checked before LEN.
  EXPECT_EQ(Answer({0xAB, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x01}), kBadResponseHead);
}

TEST_F(FrameExchange, AnyChangedByteFromSw1ToTheChecksumGives3AndNoDataLength) {
  const Bytes good = ResponseFrame(0x90, {0x10, 0x20, 0x30}, 0x11, 0x22);
  for (std::size_t i = 7; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x40;
    EXPECT_EQ(Answer(bad), kChecksumError) << "byte " << i;
    EXPECT_EQ(ctx.dataLength, 0);
  }
}

TEST_F(FrameExchange, TransportFailuresGive1AndShortTransfersGive2) {
  line.failWrite = true;
  EXPECT_EQ(Answer(ResponseFrame(0x90)), kPortOpenFailed);
  EXPECT_EQ(line.events.back(), "write") << "nothing is read after a failed write";
  line.failWrite = false;

  line.shortWrite = true;
  EXPECT_EQ(Answer(ResponseFrame(0x90)), kReceiveTimeout);
  line.shortWrite = false;

  line.failRead = true;
  EXPECT_EQ(Answer(ResponseFrame(0x90)), kPortOpenFailed);
  line.failRead = false;

  EXPECT_EQ(Answer({}), kReceiveTimeout);                                    // silence
  EXPECT_EQ(Answer({0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00}), kReceiveTimeout);  // 6 of 7
  Bytes shortBody = ResponseFrame(0x90, {1, 2, 3, 4});
  shortBody.resize(shortBody.size() - 1);  // the head is whole, the checksum missing
  EXPECT_EQ(Answer(shortBody), kReceiveTimeout);
}

TEST_F(FrameExchange, PendingBytesArePurgedBeforeTheRequestIsSent) {
  const Bytes stale = ResponseFrame(0x80);
  line.pending.assign(stale.begin(), stale.end());
  EXPECT_EQ(Answer(ResponseFrame(0x9F)), kStatusFindCardSuccess);
  EXPECT_EQ(line.events.front(), "purge");
  EXPECT_EQ(line.events[1], "write");
}

TEST_F(FrameExchange, DataLengthIsClearedAtTheStartOfEveryExchange) {
  EXPECT_EQ(Answer(ResponseFrame(0x90, Bytes(100, 1))), kOk);
  ASSERT_EQ(ctx.dataLength, 100);
  EXPECT_EQ(Answer({}), kReceiveTimeout);
  EXPECT_EQ(ctx.dataLength, 0);
}

TEST_F(FrameExchange, SelectorsNamingNoTransportFailWithoutIo) {
  for (std::int32_t t : {1000, 1002, 1500, 2000, 2002, 1 << 30}) {
    line.events.clear();
    ctx.transport = t;
    ctx.dataLength = 7;
    EXPECT_EQ(Answer(ResponseFrame(0x90)), kPortOpenFailed) << t;
    EXPECT_TRUE(line.events.empty()) << t;
    EXPECT_EQ(ctx.dataLength, 0);
  }
}

TEST_F(FrameExchange, SerialSelectorsNeedAnOpenSerialPort) {
  ctx.transport = -3;  // below 1000: still the serial exchange
  EXPECT_EQ(Answer(ResponseFrame(0x90)), kOk);

  struct NotASerialPort : platform::DeviceHandle {};
  ctx.device = std::make_unique<NotASerialPort>();
  ctx.transport = 5;
  EXPECT_EQ(Answer(ResponseFrame(0x90)), kPortOpenFailed);
  ctx.device.reset();
  EXPECT_EQ(Answer(ResponseFrame(0x90)), kPortOpenFailed);
}

}  // namespace
}  // namespace talvex
