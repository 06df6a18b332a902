// The serial port scan and port opening, against simulated readers on
// in-process ports.
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "reader-sim/sim_serial.h"
#include "reader/serial.h"
#include "reader/session.h"

namespace talvex {
namespace {

using sim::Command;
using sim::Fault;
using sim::FaultKind;

std::vector<std::uint32_t> Fields(const platform::CommTimeouts& t) {
  return {t.readInterval, t.readMultiplier, t.readConstant, t.writeMultiplier, t.writeConstant};
}

class SerialScan : public ::testing::Test {
 protected:
  ResultCode Run() {
    ctx = ReaderContext{};
    ctx.baudRate = kBaudRate;
    return ScanSerialPorts(ctx);
  }
  // A reader on port `number` that does `kind` to its probe answers.
  sim::Engine& Port(int number, std::optional<FaultKind> kind = std::nullopt,
                    std::uint32_t value = 0) {
    engines.push_back(std::make_unique<sim::Engine>());
    if (kind) engines.back()->AddFault(Command::Probe, Fault{*kind, value});
    serial.Attach(number, engines.back().get());
    return *engines.back();
  }
  std::vector<std::unique_ptr<sim::Engine>> engines;
  sim::SimSerialBackend serial;
  platform::ScopedDeviceBackends scope{{&serial, nullptr, nullptr}};
  ReaderContext ctx;
};

TEST_F(SerialScan, OnlyPort7AnswersSoPort7IsKeptWithTheNormalTimeouts) {
  Port(3, FaultKind::Silence);
  Port(5, FaultKind::StrayByte);
  sim::Engine& seven = Port(7);
  Port(9);  // never reached
  EXPECT_EQ(Run(), kOk);
  EXPECT_EQ(ctx.transport, 7);
  ASSERT_NE(ctx.device, nullptr);
  for (int n : {3, 5}) {
    EXPECT_EQ(serial.Stats(n).opens, 1) << n;
    EXPECT_FALSE(serial.Stats(n).open) << n;
    EXPECT_EQ(Fields(serial.Stats(n).lastTimeouts), Fields(kScanTimeouts)) << n;
  }
  EXPECT_TRUE(serial.Stats(7).open);
  EXPECT_EQ(serial.Stats(7).lastBaudRate, kBaudRate);
  EXPECT_EQ(Fields(serial.Stats(7).lastTimeouts),
            (std::vector<std::uint32_t>{1000, 1, 3000, 1, 3000}));
  EXPECT_EQ(seven.Count(Command::Probe), 1u);
  EXPECT_EQ(seven.TotalRequests(), 1u);
  EXPECT_EQ(serial.Stats(9).opens, 0);
}

TEST_F(SerialScan, Port1AndPort32AreBothScanned) {
  Port(1, FaultKind::Silence);
  Port(32);
  EXPECT_EQ(Run(), kOk);
  EXPECT_EQ(ctx.transport, 32);
  EXPECT_EQ(serial.Stats(1).opens, 1);
}

TEST_F(SerialScan, AProbeAnsweredWithAnotherStatusIsNotAReader) {
  Port(2, FaultKind::Status, 0x9F);
  EXPECT_EQ(Run(), kStatusFindCardSuccess);
  EXPECT_EQ(serial.OpenPorts(), 0);
  EXPECT_EQ(ctx.transport, 0);
}

TEST_F(SerialScan, OpenSerialPortChoosesTheTimeoutSet) {
  Port(9);
  auto normal = OpenSerialPort(9, kBaudRate, true);
  ASSERT_NE(normal, nullptr);
  EXPECT_EQ(Fields(serial.Stats(9).lastTimeouts),
            (std::vector<std::uint32_t>{1000, 1, 3000, 1, 3000}));
  normal.reset();
  ASSERT_NE(OpenSerialPort(9, kBaudRate, false), nullptr);
  EXPECT_EQ(Fields(serial.Stats(9).lastTimeouts), (std::vector<std::uint32_t>{50, 1, 150, 1, 150}));
  EXPECT_EQ(OpenSerialPort(10, kBaudRate, true), nullptr);
}

}  // namespace
}  // namespace talvex
