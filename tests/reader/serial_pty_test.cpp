// The serial transport and the session over real pseudo-terminals: the test
// plays the reader on the master side, the port directory points at the slave.
// Timing bounds are generous; they check that a timeout happens, and which one.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "reader/serial.h"
#include "reader/session.h"
#include "support/fake-devices/fake_devices.h"
#include "support/fake_reader.h"
#include "support/pty_reader.h"

namespace talvex {
namespace {

using test::Bytes;
using test::Chunk;
using test::PtyReader;
using test::ResponseFrame;

using Clock = std::chrono::steady_clock;

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

class SerialOverPty : public ::testing::Test {
 protected:
  void SetUp() override { ResetStartupCommandForTesting(); }

  PtyReader& AddPort(int number, PtyReader::PtyScript script) {
    readers.push_back(std::make_unique<PtyReader>(std::move(script)));
    PtyReader& r = *readers.back();
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(ports.Link(number, r.slavePath()));
    return r;
  }
  // Port 7 opened with the normal timeouts, as a named selector does.
  bool OpenNormal(int number) {
    ctx.transport = number;
    ctx.baudRate = kBaudRate;
    ctx.device = OpenSerialPort(number, kBaudRate, true);
    return ctx.device != nullptr;
  }

  test::PortDirectory ports;
  // Auto-detection must not wander off to this machine's HID or USB devices.
  fakedev::FakeHidBackend hid;
  fakedev::FakeUsbBackend usb;
  platform::ScopedDeviceBackends scope{{nullptr, &hid, &usb}};
  std::vector<std::unique_ptr<PtyReader>> readers;
  ReaderContext ctx;
};

PtyReader::PtyScript Silent() {
  return {};
}
PtyReader::PtyScript Reader(sim::Engine& engine) {
  return PtyReader::AtOnce([&engine](const Bytes& r) { return engine.Handle(r.data(), r.size()); });
}
PtyReader::PtyScript Garbage() {
  return PtyReader::AtOnce([](const Bytes&) { return Bytes{0x55, 0xAA, 0xAA, 0x96, 0x69, 0, 4}; });
}

TEST_F(SerialOverPty, ASilentReaderIsGivenUpAfterTheScanTimeout) {
  AddPort(7, Silent());
  ctx.baudRate = kBaudRate;
  const auto start = Clock::now();
  EXPECT_EQ(ScanSerialPorts(ctx), kReceiveTimeout);
  const long long ms = MillisSince(start);
  EXPECT_GE(ms, 150);  // 1 x 7 + 150
  EXPECT_LT(ms, 1500);
  EXPECT_EQ(readers[0]->Requests().size(), 1u);
}

TEST_F(SerialOverPty, ASilentReaderOnANamedPortFailsAfterTheNormalTimeout) {
  AddPort(7, Silent());
  std::int32_t selector = 7;
  std::unique_ptr<ReaderContext> opened;
  const auto start = Clock::now();
  EXPECT_EQ(OpenReader(selector, opened), kReceiveTimeout);  // the start-up command's answer
  const long long ms = MillisSince(start);
  EXPECT_GE(ms, 3000);  // 1 x 7 + 3000
  EXPECT_LT(ms, 5000);
  EXPECT_EQ(selector, 7);
  EXPECT_EQ(opened, nullptr);
}

TEST_F(SerialOverPty, AWholeHeadFollowedByAShortBodyGives2Not3) {
  const Bytes frame = ResponseFrame(0x90, Bytes(93, 0x11));  // LEN 97
  AddPort(7, [frame](const Bytes&) { return std::vector<Chunk>{{0, Slice(frame, 0, 27)}}; });
  ASSERT_TRUE(OpenNormal(7));
  const auto start = Clock::now();
  EXPECT_EQ(SerialExchange(ctx, kFindCardFrame, sizeof kFindCardFrame), kReceiveTimeout);
  const long long ms = MillisSince(start);
  // Cut off by the 1000 ms interval after the last byte, not the 3097 ms total.
  EXPECT_GE(ms, 950);
  EXPECT_LT(ms, 2500);
}

TEST_F(SerialOverPty, PausesShorterThanTheIntervalAreWaitedFor) {
  const Bytes frame = ResponseFrame(0x9F, {1, 2, 3});
  AddPort(7, [frame](const Bytes&) {
    return std::vector<Chunk>{{0, Slice(frame, 0, 3)},
                              {500, Slice(frame, 3, 7)},
                              {500, Slice(frame, 7, 9)},
                              {500, Slice(frame, 9, frame.size())}};
  });
  ASSERT_TRUE(OpenNormal(7));
  EXPECT_EQ(SerialExchange(ctx, kFindCardFrame, sizeof kFindCardFrame), kStatusFindCardSuccess);
  EXPECT_EQ(ctx.dataLength, 3);
}

TEST_F(SerialOverPty, APauseLongerThanTheIntervalEndsTheRead) {
  const Bytes frame = ResponseFrame(0x9F, {1, 2, 3});
  AddPort(7, [frame](const Bytes&) {
    return std::vector<Chunk>{{0, Slice(frame, 0, 9)}, {1600, Slice(frame, 9, frame.size())}};
  });
  ASSERT_TRUE(OpenNormal(7));
  const auto start = Clock::now();
  EXPECT_EQ(SerialExchange(ctx, kFindCardFrame, sizeof kFindCardFrame), kReceiveTimeout);
  EXPECT_LT(MillisSince(start), 1550);
}

TEST_F(SerialOverPty, TheLargestFrameArrivesWhole) {
  const Bytes frame = ResponseFrame(0x90, Bytes(2357, 0xE7));
  AddPort(7, PtyReader::AtOnce([frame](const Bytes&) { return frame; }));
  ASSERT_TRUE(OpenNormal(7));
  EXPECT_EQ(SerialExchange(ctx, kFindCardFrame, sizeof kFindCardFrame), kOk);
  EXPECT_EQ(ctx.dataLength, 2357);
  EXPECT_EQ(Bytes(ctx.rxBuffer, ctx.rxBuffer + kRxBufferSize), frame);
}

TEST_F(SerialOverPty, TheScanKeepsTheAnsweringPortAndReleasesTheOthers) {
  AddPort(3, Silent());
  AddPort(5, Garbage());
  sim::Engine engine{sim::SampleCard(sim::SampleKind::Foreign)};
  AddPort(7, Reader(engine));
  std::int32_t selector = 0;
  std::unique_ptr<ReaderContext> opened;
  ASSERT_EQ(OpenReader(selector, opened), kOk);
  EXPECT_EQ(selector, 7);
  // Ports 3 and 5 are closed again; port 7 is held exclusively.
  EXPECT_NE(OpenSerialPort(3, kBaudRate, false), nullptr);
  EXPECT_NE(OpenSerialPort(5, kBaudRate, false), nullptr);
  EXPECT_EQ(OpenSerialPort(7, kBaudRate, false), nullptr);

  CardAnswer answer;
  EXPECT_EQ(ReadCardData(*opened, answer), kOk);
  EXPECT_EQ(answer.kind, kCardForeign);
  opened.reset();
  EXPECT_NE(OpenSerialPort(7, kBaudRate, false), nullptr);

  // A later request: no probe and no second start-up command.
  ASSERT_EQ(OpenReader(selector, opened), kOk);
  EXPECT_EQ(engine.Count(sim::Command::Probe), 1u);
  EXPECT_EQ(engine.Count(sim::Command::Startup), 1u);
}

TEST_F(SerialOverPty, TheScanResultIsThatOfTheHighestPortThatOpened) {
  AddPort(3, Garbage());
  AddPort(9, Silent());
  ctx.baudRate = kBaudRate;
  EXPECT_EQ(ScanSerialPorts(ctx), kReceiveTimeout);
  EXPECT_EQ(ctx.device, nullptr);
}

TEST_F(SerialOverPty, TheScanResultIsThatOfTheHighestPortThatOpenedEvenWhenItIsGarbage) {
  AddPort(3, Silent());
  AddPort(9, Garbage());
  ctx.baudRate = kBaudRate;
  EXPECT_EQ(ScanSerialPorts(ctx), kBadResponseHead);
}

TEST_F(SerialOverPty, AScanWhereNoPortOpensGives1) {
  ASSERT_TRUE(ports.PlainFile(2));  // not a terminal: not a port
  std::int32_t selector = 0;
  std::unique_ptr<ReaderContext> opened;
  EXPECT_EQ(OpenReader(selector, opened), kPortOpenFailed);
  EXPECT_EQ(selector, 0);
}

}  // namespace
}  // namespace talvex
