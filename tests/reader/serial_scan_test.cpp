// The serial port scan and port opening, against scripted ports.
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "reader/fake_reader.h"
#include "reader/serial.h"
#include "reader/session.h"

namespace talvex {
namespace {

using test::AnswerBy;
using test::Bytes;
using test::ResponseFrame;

class Scan : public ::testing::Test {
 protected:
  ResultCode Run() {
    ctx.baudRate = kBaudRate;
    return ScanSerialPorts(ctx);
  }
  test::FakeSerialBackend serial;
  platform::ScopedDeviceBackends scope{{&serial, nullptr, nullptr}};
  ReaderContext ctx;
};

TEST_F(Scan, OnlyPort7AnswersSoPort7IsKeptWithTheNormalTimeouts) {
  serial.lines[3];                                                       // silent
  serial.lines[5].script = AnswerBy({{test::kProbeKey, {0x01, 0x02}}});  // garbage
  serial.lines[7].script = test::CardReader();
  EXPECT_EQ(Run(), kOk);
  EXPECT_EQ(ctx.transport, 7);
  ASSERT_NE(ctx.device, nullptr);

  EXPECT_EQ(serial.openAttempts, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(serial.lastBaudRate, kBaudRate);
  for (int n : {3, 5}) {
    EXPECT_EQ(serial.lines[n].opens, 1) << n;
    EXPECT_EQ(serial.lines[n].closes, 1) << n;
    EXPECT_EQ(serial.lines[n].timeouts.readConstant, kScanTimeouts.readConstant) << n;
  }
  const test::FakeLine& found = serial.lines[7];
  EXPECT_EQ(found.closes, 0);
  ASSERT_EQ(found.requests.size(), 1u);
  EXPECT_EQ(found.requests[0], Bytes(kProbeFrame, kProbeFrame + sizeof kProbeFrame));
  // Probed under the scan set, then switched to the normal set.
  EXPECT_EQ(found.events.back(), "timeouts 3000");
  EXPECT_EQ(found.timeouts.readInterval, 1000u);
  EXPECT_EQ(found.timeouts.writeConstant, 3000u);
}

TEST_F(Scan, NoPortOpensGives1AfterTriedPorts1To32) {
  EXPECT_EQ(Run(), kPortOpenFailed);
  std::vector<int> all;
  for (int n = 1; n <= 32; ++n) all.push_back(n);
  EXPECT_EQ(serial.openAttempts, all);
  EXPECT_EQ(ctx.device, nullptr);
}

TEST_F(Scan, TheHighestOpenedPortDecidesTheResult) {
  serial.lines[4].script = AnswerBy({{test::kProbeKey, {0x00, 0xAA, 0xAA, 0x96, 0x69, 0, 4}}});
  serial.lines[30];  // silent
  EXPECT_EQ(Run(), kReceiveTimeout);
  EXPECT_EQ(ctx.device, nullptr);

  serial.lines.clear();
  serial.lines[4];
  serial.lines[30].script = AnswerBy({{test::kProbeKey, {0x00, 0xAA, 0xAA, 0x96, 0x69, 0, 4}}});
  EXPECT_EQ(Run(), kBadResponseHead);
}

TEST_F(Scan, Port32IsScannedAndPort33IsNot) {
  serial.lines[33].script = test::CardReader();
  EXPECT_EQ(Run(), kPortOpenFailed);
  serial.lines[32].script = test::CardReader();
  EXPECT_EQ(Run(), kOk);
  EXPECT_EQ(ctx.transport, 32);
}

TEST_F(Scan, AProbeAnsweredWithAnotherStatusIsNotAReader) {
  serial.lines[2].script = AnswerBy({{test::kProbeKey, ResponseFrame(0x9F)}});
  EXPECT_EQ(Run(), kStatusFindCardSuccess);
  EXPECT_EQ(serial.lines[2].closes, 1);
  EXPECT_EQ(ctx.transport, 0);
}

TEST_F(Scan, OpenSerialPortChoosesTheTimeoutSet) {
  serial.lines[9];
  ASSERT_NE(OpenSerialPort(9, kBaudRate, true), nullptr);
  const platform::CommTimeouts& n = serial.lines[9].timeouts;
  EXPECT_EQ((std::vector<std::uint32_t>{n.readInterval, n.readMultiplier, n.readConstant,
                                        n.writeMultiplier, n.writeConstant}),
            (std::vector<std::uint32_t>{1000, 1, 3000, 1, 3000}));
  ASSERT_NE(OpenSerialPort(9, kBaudRate, false), nullptr);
  const platform::CommTimeouts& s = serial.lines[9].timeouts;
  EXPECT_EQ((std::vector<std::uint32_t>{s.readInterval, s.readMultiplier, s.readConstant,
                                        s.writeMultiplier, s.writeConstant}),
            (std::vector<std::uint32_t>{50, 1, 150, 1, 150}));
  EXPECT_EQ(OpenSerialPort(10, kBaudRate, true), nullptr);
}

}  // namespace
}  // namespace talvex
