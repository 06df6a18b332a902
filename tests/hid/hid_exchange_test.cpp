// The frame exchange over HID reports: how a request is cut into reports and
// how many input reports a response takes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "hid/frames.h"
#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "reader/hid.h"
#include "reader/session.h"
#include "support/fake-devices/fake_devices.h"

namespace talvex {
namespace {

using fakedev::FakeHidBackend;
using fakedev::FakeHidConfig;
using fakedev::FixedResponder;
using testing::Response;
using testing::ResponseWithLen;

class HidExchangeTest : public ::testing::Test {
 protected:
  void Install(fakedev::Responder responder) {
    FakeHidConfig config;
    config.responder = std::move(responder);
    backend_.Add(config);
    ctx_.transport = kTransportHid;
    ctx_.device = FindHidReader();
    ASSERT_NE(ctx_.device, nullptr);
  }
  const fakedev::FakeHidLog& Log() const { return backend_.Log(0); }

  FakeHidBackend backend_;
  platform::ScopedDeviceBackends scope_{{nullptr, &backend_, nullptr}};
  ReaderContext ctx_;
};

TEST_F(HidExchangeTest, ElevenByteRequestIsOneReportOfZeroFrameAndZeroPadding) {
  Install(FixedResponder(Response(0)));
  ASSERT_EQ(HidExchange(ctx_, kStartupFrame, sizeof kStartupFrame), kOk);
  ASSERT_EQ(Log().outputReports.size(), 1u);
  const auto& report = Log().outputReports[0];
  EXPECT_EQ(report[0], 0);
  EXPECT_EQ(std::memcmp(report.data() + 1, kStartupFrame, 11), 0);
  for (std::size_t i = 12; i < report.size(); ++i) EXPECT_EQ(report[i], 0) << "byte " << i;
}

TEST_F(HidExchangeTest, Len57IsCompleteAfterTheFirstReport) {
  Install(FixedResponder(ResponseWithLen(57)));
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kOk);
  EXPECT_EQ(Log().inputReportsFetched, 1);
  EXPECT_EQ(ctx_.dataLength, 53);
}

TEST_F(HidExchangeTest, Len58FetchesASecondReportHoldingTheChecksum) {
  const std::vector<std::uint8_t> frame = ResponseWithLen(58);
  Install(FixedResponder(frame));
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kOk);
  EXPECT_EQ(Log().inputReportsFetched, 2);
  EXPECT_EQ(ctx_.rxBuffer[64], frame[64]);
  EXPECT_EQ(ctx_.dataLength, 54);
}

TEST_F(HidExchangeTest, LargestResponseTakesExactly37ReportsAndStaysInTheBuffer) {
  struct Guarded {
    ReaderContext ctx;
    std::uint8_t canary[128];
  };
  auto guarded = std::make_unique<Guarded>();
  std::memset(guarded->canary, 0x5A, sizeof guarded->canary);
  const std::vector<std::uint8_t> frame = ResponseWithLen(kMaxResponseLen);
  ASSERT_EQ(frame.size(), kRxBufferSize);
  Install(FixedResponder(frame));
  guarded->ctx.transport = kTransportHid;
  guarded->ctx.device = std::move(ctx_.device);

  EXPECT_EQ(HidExchange(guarded->ctx, kProbeFrame, sizeof kProbeFrame), kOk);
  EXPECT_EQ(Log().inputReportsFetched, 37);
  EXPECT_EQ(std::memcmp(guarded->ctx.rxBuffer, frame.data(), frame.size()), 0);
  EXPECT_EQ(guarded->ctx.dataLength, 2357);
  for (std::uint8_t b : guarded->canary) ASSERT_EQ(b, 0x5A);
}

TEST_F(HidExchangeTest, BytesAfterTheChecksumInTheLastReportAreIgnored) {
  std::vector<std::uint8_t> answer = ResponseWithLen(100);
  answer.insert(answer.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  Install(FixedResponder(answer));
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kOk);
  EXPECT_EQ(Log().inputReportsFetched, 2);
  EXPECT_EQ(ctx_.dataLength, 96);
}

TEST_F(HidExchangeTest, HeadChecksRunOnTheFirstReportBeforeAnyMoreAreFetched) {
  std::vector<std::uint8_t> badPreamble = ResponseWithLen(200);
  badPreamble[3] = 0x97;
  Install(FixedResponder(badPreamble));
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kBadResponseHead);
  EXPECT_EQ(Log().inputReportsFetched, 1);

  std::vector<std::uint8_t> tooLong = ResponseWithLen(200);
  tooLong[5] = 0x09;  // LEN 0x093A = 2362
  tooLong[6] = 0x3A;
  backend_.Config(0).responder = FixedResponder(tooLong);
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kBadResponseLength);
  EXPECT_EQ(Log().inputReportsFetched, 2);

  std::vector<std::uint8_t> tooShort = ResponseWithLen(4);
  tooShort[6] = 3;
  backend_.Config(0).responder = FixedResponder(tooShort);
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kBadResponseLength);
  EXPECT_EQ(Log().inputReportsFetched, 3);
}

TEST_F(HidExchangeTest, ChecksumAndStatusAreJudgedOverTheReassembledFrame) {
  std::vector<std::uint8_t> corrupt = ResponseWithLen(300);
  corrupt[200] ^= 0x01;  // a byte of the fourth report
  Install(FixedResponder(corrupt));
  ctx_.dataLength = 77;
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kChecksumError);
  EXPECT_EQ(ctx_.dataLength, 0);

  backend_.Config(0).responder = FixedResponder(ResponseWithLen(300, 0x9F));
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kStatusFindCardSuccess);
  EXPECT_EQ(ctx_.dataLength, 296);
}

TEST_F(HidExchangeTest, TransferCountsOtherThan64GiveTwoAndFailedRequestsOne) {
  Install(FixedResponder(ResponseWithLen(100)));
  backend_.Config(0).getReportCount = 65;
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kReceiveTimeout);
  backend_.Config(0).getReportCount = 63;
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kReceiveTimeout);
  backend_.Config(0).getReportCount = 64;

  backend_.Config(0).setReportCount = 65;
  const int fetchedBefore = Log().inputReportsFetched;
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kReceiveTimeout);
  EXPECT_EQ(Log().inputReportsFetched, fetchedBefore);  // nothing fetched after a bad send
  backend_.Config(0).setReportCount = 64;

  backend_.Config(0).setReportFails = true;
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kPortOpenFailed);
  backend_.Config(0).setReportFails = false;
  backend_.Config(0).getReportFails = true;
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kPortOpenFailed);
  backend_.Config(0).getReportFails = false;
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kOk);
}

TEST_F(HidExchangeTest, AnAnswerEndingBeforeItsLenIsAFailedReportRequest) {
  std::vector<std::uint8_t> cut = ResponseWithLen(100);
  cut.resize(64);  // the device has nothing more to report
  Install(FixedResponder(cut));
  EXPECT_EQ(HidExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kPortOpenFailed);
  EXPECT_EQ(ctx_.dataLength, 0);
}

TEST_F(HidExchangeTest, FullCardReadOverHidWithTheSimulatedReader) {
  sim::Engine engine(sim::SampleCard(sim::SampleKind::Foreign));
  Install(fakedev::EngineResponder(engine));
  CardAnswer answer;
  ASSERT_EQ(ReadCardData(ctx_, answer), kOk);
  EXPECT_EQ(answer.kind, kCardForeign);
  EXPECT_EQ(ctx_.dataLength, static_cast<std::int32_t>(sim::kReadAnswerLen - 4));
  // 7 + 1289 bytes: ceil(1296 / 64) = 21 reports for the answer, one each before.
  EXPECT_EQ(Log().inputReportsFetched, 1 + 1 + 21);
  const sim::CardImage card = sim::SampleCard(sim::SampleKind::Foreign);
  EXPECT_EQ(std::memcmp(answer.text.data(), card.text, sizeof card.text), 0);
  ASSERT_EQ(answer.photo.size(), sizeof card.photo);
  EXPECT_EQ(std::memcmp(answer.photo.data(), card.photo, sizeof card.photo), 0);
}

}  // namespace
}  // namespace talvex
