// The USB driver transport: discovery by setup class, and the frame moved as
// head and body requests with their transfer-count rules.
#include <gtest/gtest.h>

#include <cstring>

#include "hid/frames.h"
#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "reader/session.h"
#include "reader/usb.h"
#include "support/fake-devices/fake_devices.h"

namespace talvex {
namespace {

using fakedev::FakeUsbBackend;
using fakedev::FakeUsbConfig;
using fakedev::FixedResponder;
using testing::ResponseWithLen;

FakeUsbConfig Device(std::string path, fakedev::Responder responder = nullptr) {
  FakeUsbConfig config;
  config.path = std::move(path);
  config.responder = std::move(responder);
  return config;
}

class UsbExchangeTest : public ::testing::Test {
 protected:
  void Install(fakedev::Responder responder) {
    backend_.Add(Device("reader", std::move(responder)));
    ctx_.transport = kTransportUsb;
    ctx_.device = FindUsbReader();
    ASSERT_NE(ctx_.device, nullptr);
  }
  const fakedev::FakeUsbLog& Log() const { return backend_.Log(0); }
  FakeUsbConfig& Config() { return backend_.Config(0); }

  FakeUsbBackend backend_;
  platform::ScopedDeviceBackends scope_{{nullptr, nullptr, &backend_}};
  ReaderContext ctx_;
};

TEST_F(UsbExchangeTest, RequestsAreSplitIntoSevenByteHeadAndTheRest) {
  Install(FixedResponder(ResponseWithLen(4)));
  ASSERT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kOk);
  ASSERT_EQ(UsbExchange(ctx_, kStartupFrame, sizeof kStartupFrame), kOk);
  EXPECT_EQ(Log().headSends, (std::vector<std::uint32_t>{7, 7}));
  EXPECT_EQ(Log().bodySends, (std::vector<std::uint32_t>{3, 4}));
  std::vector<std::uint8_t> expected(kProbeFrame, kProbeFrame + 10);
  expected.insert(expected.end(), kStartupFrame, kStartupFrame + 11);
  EXPECT_EQ(Log().sentBytes, expected);
}

TEST_F(UsbExchangeTest, ResponseIsFetchedAsSevenBytesThenExactlyLen) {
  const std::vector<std::uint8_t> frame = ResponseWithLen(1289);
  Install(FixedResponder(frame));
  ASSERT_EQ(UsbExchange(ctx_, kReadBaseMessageFrame, sizeof kReadBaseMessageFrame), kOk);
  EXPECT_EQ(Log().headReceives, (std::vector<std::uint32_t>{7}));
  EXPECT_EQ(Log().bodyReceives, (std::vector<std::uint32_t>{1289}));
  EXPECT_EQ(std::memcmp(ctx_.rxBuffer, frame.data(), frame.size()), 0);
  EXPECT_EQ(ctx_.dataLength, 1285);
}

TEST_F(UsbExchangeTest, LargestResponseFillsTheBuffer) {
  Install(FixedResponder(ResponseWithLen(kMaxResponseLen)));
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kOk);
  EXPECT_EQ(ctx_.dataLength, 2357);
}

TEST_F(UsbExchangeTest, ShortBodyGivesTwoEvenWhenTheBytesItBroughtAreRight) {
  Install(FixedResponder(ResponseWithLen(100)));
  Config().bodyLimit = 99;
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kReceiveTimeout);
  EXPECT_EQ(ctx_.dataLength, 0);
}

TEST_F(UsbExchangeTest, ShortHeadGivesTwoWithoutAskingForTheBody) {
  Install(FixedResponder(ResponseWithLen(100)));
  Config().headLimit = 6;
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kReceiveTimeout);
  EXPECT_TRUE(Log().bodyReceives.empty());
}

TEST_F(UsbExchangeTest, FailedRequestsGiveOneAndStopTheExchange) {
  Install(FixedResponder(ResponseWithLen(10)));
  Config().sendHeadFails = true;
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kPortOpenFailed);
  EXPECT_TRUE(Log().bodySends.empty());
  Config().sendHeadFails = false;

  Config().sendBodyFails = true;
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kPortOpenFailed);
  EXPECT_TRUE(Log().headReceives.empty());
  Config().sendBodyFails = false;

  Config().receiveHeadFails = true;
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kPortOpenFailed);
  Config().receiveHeadFails = false;

  Config().receiveBodyFails = true;
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kPortOpenFailed);
  Config().receiveBodyFails = false;
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kOk);
}

TEST_F(UsbExchangeTest, HeadChecksComeBeforeTheBodyRequest) {
  std::vector<std::uint8_t> stray = ResponseWithLen(10);
  stray.insert(stray.begin(), 0x00);
  Install(FixedResponder(stray));
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kBadResponseHead);
  std::vector<std::uint8_t> len3 = ResponseWithLen(10);
  len3[6] = 3;
  Config().responder = FixedResponder(len3);
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kBadResponseLength);
  EXPECT_TRUE(Log().bodyReceives.empty());

  std::vector<std::uint8_t> corrupt = ResponseWithLen(10);
  corrupt[12] ^= 0x40;
  Config().responder = FixedResponder(corrupt);
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, sizeof kProbeFrame), kChecksumError);
  EXPECT_EQ(ctx_.dataLength, 0);
}

TEST_F(UsbExchangeTest, RequestShorterThanAFrameHeadIsRefusedWithoutIo) {
  Install(FixedResponder(ResponseWithLen(10)));
  EXPECT_EQ(UsbExchange(ctx_, kProbeFrame, 6), kPortOpenFailed);
  EXPECT_TRUE(Log().headSends.empty());
}

TEST_F(UsbExchangeTest, CardSequenceThroughTheSimulatedReader) {
  sim::Engine engine(sim::SampleCard(sim::SampleKind::Hmt));
  Install(fakedev::EngineResponder(engine));
  CardAnswer answer;
  ASSERT_EQ(ReadCardData(ctx_, answer), kOk);
  EXPECT_EQ(answer.kind, kCardHmt);
  engine.SetCard(std::nullopt);
  EXPECT_EQ(ReadCardData(ctx_, answer), kStatusFindCardFailed);
}

class UsbDiscoveryTest : public ::testing::Test {
 protected:
  FakeUsbBackend backend_;
  platform::ScopedDeviceBackends scope_{{nullptr, nullptr, &backend_}};
};

TEST_F(UsbDiscoveryTest, ReaderClassComparedWithoutCaseOthersNeverOpened) {
  FakeUsbConfig hub = Device("hub");
  hub.classGuid = u"{36FC9E60-C465-11CF-8056-444553540000}";
  FakeUsbConfig reader = Device("reader");
  reader.classGuid = u"{ff646f81-8def-11d2-9449-00105a075f6b}";
  backend_.Add(hub);
  backend_.Add(reader);
  EXPECT_NE(FindUsbReader(), nullptr);
  EXPECT_EQ(backend_.Log(0).opens, 0);
  EXPECT_EQ(backend_.Log(1).opens, 1);
}

TEST_F(UsbDiscoveryTest, HeldReaderIsSkippedAndTheNextOneTaken) {
  FakeUsbConfig held = Device("held");
  held.held = true;
  backend_.Add(held);
  backend_.Add(Device("second"));
  backend_.Add(Device("third"));
  auto device = FindUsbReader();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(backend_.Log(0).refusedOpens, 1);
  EXPECT_EQ(backend_.Log(1).opens, 1);
  EXPECT_EQ(backend_.Log(2).opens, 0);
}

TEST_F(UsbDiscoveryTest, NoReaderOrFailedEnumerationGiveNone) {
  EXPECT_EQ(FindUsbReader(), nullptr);
  backend_.Add(Device("reader"));
  backend_.SetEnumerationFails(true);
  EXPECT_EQ(FindUsbReader(), nullptr);
  EXPECT_EQ(backend_.Log(0).opens, 0);
}

}  // namespace
}  // namespace talvex
