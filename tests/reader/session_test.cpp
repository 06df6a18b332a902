// Opening a reader (auto-detection order, named transports, the start-up
// command) and the card sequence, against scripted HID, USB and serial readers.
#include "reader/session.h"

#include <gtest/gtest.h>

#include "platform/devices.h"
#include "reader/fake_reader.h"

namespace talvex {
namespace {

using test::AnswerBy;
using test::Bytes;
using test::CardAnswerData;
using test::ResponseFrame;

class Session : public ::testing::Test {
 protected:
  void SetUp() override { ResetStartupCommandForTesting(); }
  ResultCode Open(std::int32_t& selector) { return OpenReader(selector, ctx); }

  test::FakeSerialBackend serial;
  test::FakeHidBackend hid;
  test::FakeUsbBackend usb;
  platform::ScopedDeviceBackends scope{{&serial, &hid, &usb}};
  std::unique_ptr<ReaderContext> ctx;
};

TEST_F(Session, AutoDetectionTakesHidFirstAndSendsTheStartupCommandOnce) {
  hid.present = usb.present = true;
  hid.line.script = usb.line.script = test::CardReader();
  serial.lines[1].script = test::CardReader();
  std::int32_t selector = 0;
  ASSERT_EQ(Open(selector), kOk);
  EXPECT_EQ(selector, kTransportHid);
  EXPECT_EQ(ctx->transport, kTransportHid);
  EXPECT_EQ(ctx->baudRate, 115200);
  EXPECT_EQ(hid.line.Count(test::kProbeKey), 1);
  EXPECT_EQ(hid.line.Count(test::kStartupKey), 1);
  EXPECT_EQ(usb.line.opens, 0);
  EXPECT_TRUE(serial.openAttempts.empty());
  CloseReader(ctx);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(hid.line.closes, 1);

  // The next request goes straight to the HID reader: no probe, no start-up.
  ASSERT_EQ(Open(selector), kOk);
  EXPECT_EQ(hid.line.Count(test::kProbeKey), 1);
  EXPECT_EQ(hid.line.Count(test::kStartupKey), 1);
}

TEST_F(Session, AHidDeviceThatFailsTheProbeIsClosedAndUsbIsTried) {
  hid.present = usb.present = true;  // the HID device stays silent
  usb.line.script = test::CardReader();
  std::int32_t selector = 0;
  ASSERT_EQ(Open(selector), kOk);
  EXPECT_EQ(selector, kTransportUsb);
  EXPECT_EQ(hid.line.opens, hid.line.closes);
  EXPECT_EQ(usb.line.Count(test::kProbeKey), 1);
}

TEST_F(Session, SerialScanComesLastAndNoReaderGives1WithTheSelectorKept) {
  hid.present = usb.present = true;
  std::int32_t selector = 0;
  EXPECT_EQ(Open(selector), kPortOpenFailed);
  EXPECT_EQ(selector, 0);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(serial.openAttempts.size(), 32u);
  EXPECT_FALSE(StartupCommandSent());

  serial.lines[9].script = test::CardReader();
  ASSERT_EQ(Open(selector), kOk);
  EXPECT_EQ(selector, 9);
  EXPECT_EQ(serial.lines[9].Count(test::kStartupKey), 1);
}

TEST_F(Session, TheSelectorIsWrittenBackEvenWhenTheStartupCommandFails) {
  serial.lines[7].script = AnswerBy({{test::kProbeKey, ResponseFrame(0x90)}});
  std::int32_t selector = 0;
  EXPECT_EQ(Open(selector), kReceiveTimeout);
  EXPECT_EQ(selector, 7);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(serial.lines[7].opens, serial.lines[7].closes);
  EXPECT_TRUE(StartupCommandSent());

  // Not repeated: the next open goes straight on.
  ASSERT_EQ(Open(selector), kOk);
  EXPECT_EQ(serial.lines[7].Count(test::kStartupKey), 1);
}

TEST_F(Session, TheStartupCommandGoesOnlyToTheFirstReaderOfTheProcess) {
  serial.lines[3].script = serial.lines[5].script = test::CardReader();
  std::int32_t three = 3, five = 5;
  ASSERT_EQ(Open(three), kOk);
  CloseReader(ctx);
  ASSERT_EQ(Open(five), kOk);
  EXPECT_EQ(serial.lines[3].Count(test::kStartupKey), 1);
  EXPECT_EQ(serial.lines[5].Count(test::kStartupKey), 0);
  EXPECT_EQ(serial.lines[5].Count(test::kProbeKey), 0);
  EXPECT_EQ(serial.lines[5].timeouts.readConstant, 3000u);
  EXPECT_EQ(Bytes(kStartupFrame, kStartupFrame + 11), serial.lines[3].requests[0]);
}

TEST_F(Session, AReaderThatWentAwayIsNotReplacedByAutoDetection) {
  hid.present = true;
  hid.line.script = test::CardReader();
  std::int32_t selector = 7;  // found earlier on port 7, now unplugged
  EXPECT_EQ(Open(selector), kPortOpenFailed);
  EXPECT_EQ(selector, 7);
  EXPECT_EQ(serial.openAttempts, std::vector<int>{7});
  EXPECT_EQ(hid.line.opens, 0);
}

TEST_F(Session, NamedTransportsOpenWithoutProbe) {
  hid.present = usb.present = true;
  hid.line.script = usb.line.script = test::CardReader();
  std::int32_t h = kTransportHid, u = kTransportUsb;
  ASSERT_EQ(Open(h), kOk);
  CloseReader(ctx);
  ASSERT_EQ(Open(u), kOk);
  EXPECT_EQ(hid.line.Count(test::kProbeKey) + usb.line.Count(test::kProbeKey), 0);

  for (std::int32_t none : {1000, 1500, 2000, 3001}) {
    std::int32_t s = none;
    EXPECT_EQ(Open(s), kPortOpenFailed) << none;
    EXPECT_EQ(s, none);
  }
  EXPECT_TRUE(serial.openAttempts.empty());
}

class Card : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStartupCommandForTesting();
    serial.lines[1].script = AnswerBy({{test::kStartupKey, ResponseFrame(0x90)}});
    std::int32_t selector = 1;
    ASSERT_EQ(OpenReader(selector, ctx), kOk);
  }
  ResultCode Read(std::map<std::uint16_t, Bytes> answers) {
    serial.lines[1].requests.clear();
    serial.lines[1].script = AnswerBy(std::move(answers));
    kind = 99;
    return ReadCardData(*ctx, kind);
  }
  std::vector<std::uint16_t> Sent() const {
    std::vector<std::uint16_t> keys;
    for (const Bytes& r : serial.lines.at(1).requests) keys.push_back(test::RequestKey(r));
    return keys;
  }
  test::FakeSerialBackend serial;
  platform::ScopedDeviceBackends scope{{&serial, nullptr, nullptr}};
  std::unique_ptr<ReaderContext> ctx;
  std::int32_t kind = 0;
};

const Bytes kCard = ResponseFrame(0x90, CardAnswerData(256, 1024));

TEST_F(Card, FindCardAnsweringSuccessIsAnError) {
  EXPECT_EQ(Read({{test::kFindKey, ResponseFrame(0x90)}}), kFindCardAnswerError);
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(Read({{test::kFindKey, ResponseFrame(0x00)}}), kFindCardAnswerError);
  EXPECT_EQ(Sent(), std::vector<std::uint16_t>{test::kFindKey});
  EXPECT_EQ(Read({{test::kFindKey, ResponseFrame(0x01)}}), 1);
  EXPECT_EQ(Read({}), kReceiveTimeout);
}

TEST_F(Card, NoCardStatusesStillLeadToTheReadWhoseStatusDecides) {
  EXPECT_EQ(Read({{test::kFindKey, ResponseFrame(0x80)},
                  {test::kSelectKey, ResponseFrame(0x81)},
                  {test::kReadKey, kCard}}),
            kOk);
  EXPECT_EQ(Sent(), (std::vector<std::uint16_t>{test::kFindKey, test::kSelectKey, test::kReadKey}));
  EXPECT_EQ(kind, kCardResident);
  EXPECT_EQ(Read({{test::kFindKey, ResponseFrame(0x80)},
                  {test::kSelectKey, ResponseFrame(0x81)},
                  {test::kReadKey, ResponseFrame(0x80)}}),
            kStatusFindCardFailed);
  EXPECT_EQ(kind, 0);
}

TEST_F(Card, SelectCardAcceptsOnlySuccessOr0x81) {
  for (std::uint8_t sw3 : {0x80, 0x9F, 0x41}) {
    EXPECT_EQ(Read({{test::kFindKey, ResponseFrame(0x9F)},
                    {test::kSelectKey, ResponseFrame(sw3)},
                    {test::kReadKey, kCard}}),
              ResultCode{sw3});
    EXPECT_EQ(Sent(), (std::vector<std::uint16_t>{test::kFindKey, test::kSelectKey}));
  }
}

TEST_F(Card, TextAndPhotoLengthsMustFitTheDataReceived) {
  auto read = [&](const Bytes& data) {
    return Read({{test::kFindKey, ResponseFrame(0x9F)},
                 {test::kSelectKey, ResponseFrame(0x90)},
                 {test::kReadKey, ResponseFrame(0x90, data)}});
  };
  EXPECT_EQ(read(CardAnswerData(255, 1024, 0x20, 1)), kInfoLengthError);
  EXPECT_EQ(read(CardAnswerData(256, 511, 0x20, 1)), kInfoLengthError);
  Bytes exact = CardAnswerData(256, 1024);
  ASSERT_EQ(exact.size(), 1284u);
  EXPECT_EQ(read(exact), kOk);
  exact.pop_back();
  EXPECT_EQ(read(exact), kInfoLengthError);
  // Lengths far past the frame must not be taken at their word.
  Bytes huge = CardAnswerData(256, 1024);
  huge[0] = huge[1] = huge[2] = huge[3] = 0xFF;
  EXPECT_EQ(read(huge), kInfoLengthError);
  EXPECT_EQ(kind, 0);
}

TEST_F(Card, TheKindMarkerIsComparedAsAWholeCodeUnit) {
  const struct {
    std::uint16_t marker;
    std::int32_t kind;
  } cases[] = {{0x0049, kCardForeign},  {0x004A, kCardHmt},      {0x0149, kCardResident},
               {0x4900, kCardResident}, {0x0020, kCardResident}, {0x0000, kCardResident}};
  for (const auto& c : cases) {
    EXPECT_EQ(Read({{test::kFindKey, ResponseFrame(0x9F)},
                    {test::kSelectKey, ResponseFrame(0x90)},
                    {test::kReadKey, ResponseFrame(0x90, CardAnswerData(256, 1024, c.marker))}}),
              kOk);
    EXPECT_EQ(kind, c.kind) << std::hex << c.marker;
  }
}

}  // namespace
}  // namespace talvex
