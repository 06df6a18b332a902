// The in-process serial ports that put a simulated reader behind a port
// number.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "reader-sim/sim_serial.h"

namespace talvex::sim {
namespace {

const platform::CommTimeouts kNormal{1000, 1, 3000, 1, 3000};
const platform::CommTimeouts kScan{50, 1, 150, 1, 150};
const std::vector<std::uint8_t> kFind = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                         0x00, 0x03, 0x20, 0x01, 0x22};
const std::vector<std::uint8_t> kRead = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                         0x00, 0x03, 0x30, 0x01, 0x32};

void Send(platform::SerialPort& port, const std::vector<std::uint8_t>& frame) {
  std::uint32_t written = 0;
  ASSERT_TRUE(port.Write(frame.data(), static_cast<std::uint32_t>(frame.size()), &written));
  ASSERT_EQ(written, frame.size());
}

std::uint32_t Receive(platform::SerialPort& port, std::uint8_t* into, std::uint32_t n) {
  std::uint32_t got = 0xFFFF;
  EXPECT_TRUE(port.Read(into, n, &got));
  return got;
}

TEST(SimSerialPorts, OnlyAttachedPortsExistAndOpenExclusively) {
  Engine engine;
  SimSerialBackend ports;
  ports.Attach(7, &engine);
  EXPECT_EQ(ports.Open(6, 115200, kScan), nullptr);
  auto port = ports.Open(7, 115200, kScan);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(ports.Open(7, 115200, kScan), nullptr);  // held by the first client
  EXPECT_EQ(ports.Stats(7).refusedOpens, 1);
  EXPECT_EQ(ports.OpenPorts(), 1);
  port.reset();
  EXPECT_EQ(ports.OpenPorts(), 0);
  EXPECT_EQ(ports.Stats(7).closes, 1);
  EXPECT_NE(ports.Open(7, 115200, kNormal), nullptr);  // and opens again once closed
  EXPECT_EQ(ports.TotalOpens(), 2);
  EXPECT_EQ(ports.TotalCloses(), 2);
}

TEST(SimSerialPorts, RecordsBaudAndTimeouts) {
  Engine engine;
  SimSerialBackend ports;
  ports.Attach(3, &engine);
  auto port = ports.Open(3, 115200, kScan);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(ports.Stats(3).lastBaudRate, 115200);
  EXPECT_EQ(ports.Stats(3).lastTimeouts.readConstant, 150u);
  port->SetTimeouts(kNormal);
  EXPECT_EQ(ports.Stats(3).lastTimeouts.readConstant, 3000u);
  EXPECT_EQ(ports.Stats(3).lastTimeouts.readInterval, 1000u);
}

TEST(SimSerialPorts, AnswerIsReadInTheHostsPieces) {
  Engine engine(SampleCard(SampleKind::Resident));
  SimSerialBackend ports;
  ports.Attach(1, &engine);
  auto port = ports.Open(1, 115200, kNormal);
  ASSERT_NE(port, nullptr);
  Send(*port, kRead);
  std::uint8_t buf[2368];
  ASSERT_EQ(Receive(*port, buf, 7), 7u);
  const std::uint32_t len = buf[5] * 256u + buf[6];
  ASSERT_EQ(len, 1288u);
  ASSERT_EQ(Receive(*port, buf + 7, len), len);
  EXPECT_EQ(buf[9], 0x90);
  EXPECT_EQ(Receive(*port, buf, 7), 0u);  // nothing more: a timeout, reported short
}

TEST(SimSerialPorts, SilenceAndShortAnswersReadShortWithoutWaiting) {
  Engine engine(SampleCard(SampleKind::Resident));
  Fault silence;
  silence.kind = FaultKind::Silence;
  silence.count = 1;
  engine.AddFault(Command::FindCard, silence);
  Fault cut;
  cut.kind = FaultKind::ShortBody;
  cut.value = 100;
  cut.count = 1;
  engine.AddFault(Command::ReadBaseMessage, cut);
  SimSerialBackend ports;
  ports.Attach(2, &engine);
  auto port = ports.Open(2, 115200, kNormal);
  ASSERT_NE(port, nullptr);
  std::uint8_t buf[2368];
  Send(*port, kFind);
  EXPECT_EQ(Receive(*port, buf, 7), 0u);
  Send(*port, kRead);
  EXPECT_EQ(Receive(*port, buf, 7), 7u);
  EXPECT_EQ(Receive(*port, buf + 7, 1288), 100u);
}

TEST(SimSerialPorts, PurgeDropsAnAnswerNobodyRead) {
  Engine engine;
  SimSerialBackend ports;
  ports.Attach(4, &engine);
  auto port = ports.Open(4, 115200, kNormal);
  ASSERT_NE(port, nullptr);
  Send(*port, kFind);
  port->Purge();
  EXPECT_EQ(ports.Stats(4).purges, 1);
  std::uint8_t buf[16];
  EXPECT_EQ(Receive(*port, buf, 7), 0u);
  Send(*port, kFind);  // the next exchange sees only its own answer
  ASSERT_EQ(Receive(*port, buf, 11), 11u);
  EXPECT_EQ(buf[9], 0x80);
}

TEST(SimSerialPorts, InjectedHostFailures) {
  Engine engine;
  SimSerialBackend ports;
  ports.Attach(5, &engine);
  auto port = ports.Open(5, 115200, kNormal);
  ASSERT_NE(port, nullptr);
  std::uint32_t n = 0;
  ports.SetPortFault(5, PortFault::WriteFails);
  EXPECT_FALSE(port->Write(kFind.data(), 10, &n));
  ports.SetPortFault(5, PortFault::ShortWrite);
  ASSERT_TRUE(port->Write(kFind.data(), 10, &n));
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(engine.TotalRequests(), 0u);  // nothing reached the reader
  ports.SetPortFault(5, PortFault::ReadFails);
  std::uint8_t buf[8];
  EXPECT_FALSE(port->Read(buf, 7, &n));
  ports.SetPortFault(5, PortFault::None);
  Send(*port, kFind);
  EXPECT_EQ(Receive(*port, buf, 7), 7u);
}

TEST(SimSerialPorts, DetachedPortFailsLikeAnUnpluggedDevice) {
  Engine engine;
  SimSerialBackend ports;
  ports.Attach(9, &engine);
  auto port = ports.Open(9, 115200, kNormal);
  ASSERT_NE(port, nullptr);
  ports.Detach(9);
  std::uint32_t n = 0;
  EXPECT_FALSE(port->Write(kFind.data(), 10, &n));
  EXPECT_EQ(ports.Open(9, 115200, kNormal), nullptr);
}

TEST(SimSerialPorts, NewClientDoesNotInheritAHalfFrame) {
  Engine engine;
  SimSerialBackend ports;
  ports.Attach(8, &engine);
  {
    auto port = ports.Open(8, 115200, kNormal);
    ASSERT_NE(port, nullptr);
    std::uint32_t n = 0;
    ASSERT_TRUE(port->Write(kFind.data(), 8, &n));  // the client gave up mid-frame
  }
  auto port = ports.Open(8, 115200, kNormal);
  ASSERT_NE(port, nullptr);
  Send(*port, kFind);
  std::uint8_t buf[16];
  ASSERT_EQ(Receive(*port, buf, 11), 11u);
  EXPECT_EQ(buf[9], 0x80);
  EXPECT_EQ(engine.Count(Command::FindCard), 1u);
}

}  // namespace
}  // namespace talvex::sim
