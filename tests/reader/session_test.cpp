// Opening a serial reader (the start-up command, the selector, no fall-back)
// and the card sequence, against simulated readers on in-process ports. The
// HID-before-USB-before-serial order is covered with the HID tests.
#include "reader/session.h"

#include <gtest/gtest.h>

#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "reader-sim/sim_serial.h"
#include "support/fake-devices/fake_devices.h"
#include "support/refusing_allocator.h"

namespace talvex {
namespace {

using sim::Command;
using sim::Fault;
using sim::FaultKind;

class ReaderSession : public ::testing::Test {
 protected:
  void SetUp() override { ResetStartupCommandForTesting(); }
  void TearDown() override { ResetStartupCommandForTesting(); }
  ResultCode Open(std::int32_t& selector) { return OpenReader(selector, ctx); }

  sim::Engine engine{sim::SampleCard(sim::SampleKind::Resident)};
  sim::Engine other{sim::SampleCard(sim::SampleKind::Resident)};
  sim::SimSerialBackend serial;
  fakedev::FakeHidBackend hid;  // no HID or USB devices at all
  fakedev::FakeUsbBackend usb;
  platform::ScopedDeviceBackends scope{{&serial, &hid, &usb}};
  std::unique_ptr<ReaderContext> ctx;
};

TEST_F(ReaderSession, TheSelectorIsWrittenBackEvenWhenTheStartupCommandFails) {
  std::int32_t selector = 0;
  EXPECT_EQ(Open(selector), kPortOpenFailed);  // nothing anywhere
  EXPECT_FALSE(StartupCommandSent());

  serial.Attach(7, &engine);
  engine.AddFault(Command::Startup, Fault{FaultKind::Silence, 0, 1});
  EXPECT_EQ(Open(selector), kReceiveTimeout);
  EXPECT_EQ(selector, 7);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(serial.OpenPorts(), 0);
  EXPECT_TRUE(StartupCommandSent());

  // Not repeated: the next open goes straight on, without probe.
  ASSERT_EQ(Open(selector), kOk);
  EXPECT_EQ(engine.Count(Command::Startup), 1u);
  EXPECT_EQ(engine.Count(Command::Probe), 1u);
  ctx.reset();
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(serial.OpenPorts(), 0);
}

TEST_F(ReaderSession, TheStartupCommandGoesOnlyToTheFirstReaderOfTheProcess) {
  serial.Attach(3, &engine);
  serial.Attach(5, &other);
  std::int32_t three = 3, five = 5;
  ASSERT_EQ(Open(three), kOk);
  EXPECT_EQ(serial.Stats(3).lastBaudRate, 115200);
  ctx.reset();
  ASSERT_EQ(Open(five), kOk);
  EXPECT_EQ(engine.Count(Command::Startup), 1u);
  EXPECT_EQ(other.TotalRequests(), 0u) << "a named port gets neither probe nor start-up";
  EXPECT_EQ(serial.Stats(5).lastTimeouts.readConstant, 3000u);
  EXPECT_EQ(three, 3);
  EXPECT_EQ(five, 5);
}

TEST_F(ReaderSession, AReaderThatWentAwayIsNotReplacedByAutoDetection) {
  serial.Attach(2, &other);   // a reader the scan would find
  std::int32_t selector = 7;  // found on port 7 earlier, now unplugged
  EXPECT_EQ(Open(selector), kPortOpenFailed);
  EXPECT_EQ(selector, 7);
  EXPECT_EQ(serial.TotalOpens(), 0);
  EXPECT_EQ(other.TotalRequests(), 0u);
}

TEST_F(ReaderSession, SelectorsNamingNoTransportFailWithoutIo) {
  serial.Attach(1, &engine);
  for (std::int32_t none : {1000, 1500, 2000, 3001, -1}) {
    std::int32_t s = none;
    EXPECT_EQ(Open(s), kPortOpenFailed) << none;
    EXPECT_EQ(s, none);
    EXPECT_EQ(ctx, nullptr);
  }
  EXPECT_EQ(engine.TotalRequests(), 0u);
  EXPECT_FALSE(StartupCommandSent());
}

TEST_F(ReaderSession, ARecordThatCannotBeAllocatedGives277AndOpensNothing) {
  serial.Attach(4, &engine);
  std::int32_t selector = 4;
  ctx = std::make_unique<ReaderContext>();  // a stale context is released first
  ResultCode rc;
  {
    // The allocations that may fail, new (std::nothrow), fail.
    RefusedAllocations refused(
        [](const refusing_allocator::Request& r) { return r.nothrow && !r.array; });
    rc = Open(selector);
  }
  EXPECT_EQ(rc, kOutOfMemory);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(selector, 4);
  EXPECT_EQ(serial.TotalOpens(), 0);
  EXPECT_FALSE(StartupCommandSent());
}

class CardSequence : public ReaderSession {
 protected:
  void SetUp() override {
    ReaderSession::SetUp();
    serial.Attach(1, &engine);
    std::int32_t selector = 1;
    ASSERT_EQ(OpenReader(selector, ctx), kOk);
    engine.ResetCounters();
  }
  ResultCode Read() {
    answer.kind = 99;
    const ResultCode rc = ReadCardData(*ctx, answer);
    kind = answer.kind;
    return rc;
  }
  void Spoil(Command c, FaultKind k, std::uint32_t value = 0) {
    engine.ClearFaults();
    engine.AddFault(c, Fault{k, value});
  }
  CardAnswer answer;
  std::int32_t kind = 0;
};

TEST_F(CardSequence, FindCardAnsweringSuccessIsAnError) {
  for (std::uint32_t sw3 : {0x90u, 0x00u}) {
    Spoil(Command::FindCard, FaultKind::Status, sw3);
    EXPECT_EQ(Read(), kFindCardAnswerError);
    EXPECT_EQ(kind, 0);
  }
  EXPECT_EQ(engine.Count(Command::SelectCard), 0u);
  Spoil(Command::FindCard, FaultKind::Status, 0x01);
  EXPECT_EQ(Read(), kPortOpenFailed);  // status 0x01 reads like the host-side 1
  Spoil(Command::FindCard, FaultKind::Silence);
  EXPECT_EQ(Read(), kReceiveTimeout);
}

TEST_F(CardSequence, NoCardStatusesStillLeadToTheReadWhoseStatusDecides) {
  engine.AddFault(Command::FindCard, Fault{FaultKind::Status, 0x80});
  engine.AddFault(Command::SelectCard, Fault{FaultKind::Status, 0x81});
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(kind, kCardResident);
  EXPECT_EQ(engine.Count(Command::ReadBaseMessage), 1u);

  engine.SetCard(std::nullopt);  // the simulator's no-card answers: 0x80, 0x81, 0x80
  engine.ClearFaults();
  EXPECT_EQ(Read(), kStatusFindCardFailed);
  EXPECT_EQ(engine.Count(Command::ReadBaseMessage), 2u);
  EXPECT_EQ(kind, 0);
}

TEST_F(CardSequence, SelectCardAcceptsOnlySuccessOr0x81) {
  for (std::uint32_t sw3 : {0x80u, 0x9Fu, 0x41u}) {
    Spoil(Command::SelectCard, FaultKind::Status, sw3);
    EXPECT_EQ(Read(), static_cast<ResultCode>(sw3));
  }
  EXPECT_EQ(engine.Count(Command::ReadBaseMessage), 0u);
  Spoil(Command::ReadBaseMessage, FaultKind::Status, 0x41);
  EXPECT_EQ(Read(), ResultCode{0x41});
}

TEST_F(CardSequence, TextAndPhotoLengthsMustFitTheDataReceived) {
  // The answer carries 4 + 256 + 1024 data bytes after the status.
  const struct {
    FaultKind field;
    std::uint32_t value;
    ResultCode expected;
  } cases[] = {{FaultKind::TextLength, 255, kInfoLengthError},
               {FaultKind::PhotoLength, 511, kInfoLengthError},
               {FaultKind::PhotoLength, 1024, kOk},
               {FaultKind::PhotoLength, 1025, kInfoLengthError},
               {FaultKind::TextLength, 257, kInfoLengthError},
               {FaultKind::TextLength, 0xFFFF, kInfoLengthError}};
  for (const auto& c : cases) {
    Spoil(Command::ReadBaseMessage, c.field, c.value);
    EXPECT_EQ(Read(), c.expected) << static_cast<int>(c.field) << " " << c.value;
  }
}

// "I" and "J" name the foreign card and the permit, the other capital
// letters kinds Talvex cannot decode; every other unit is a resident card.
TEST_F(CardSequence, TheKindMarkerIsComparedAsAWholeCodeUnit) {
  const struct {
    std::uint8_t low, high;
    std::int32_t kind;
  } cases[] = {
      {0x49, 0x00, kCardForeign},  {0x4A, 0x00, kCardHmt},      {0x49, 0x01, kCardResident},
      {0x00, 0x49, kCardResident}, {0x20, 0x00, kCardResident}, {0x59, 0x00, kCardUnknown},
      {0x41, 0x00, kCardUnknown},  {0x5A, 0x00, kCardUnknown},  {0x40, 0x00, kCardResident},
      {0x5B, 0x00, kCardResident}, {0x79, 0x00, kCardResident}, {0x59, 0x01, kCardResident}};
  for (const auto& c : cases) {
    sim::CardImage card = sim::SampleCard(sim::SampleKind::Resident);
    card.text[248] = c.low;
    card.text[249] = c.high;
    engine.SetCard(card);
    EXPECT_EQ(Read(), kOk);
    EXPECT_EQ(kind, c.kind) << std::hex << int{c.high} << int{c.low};
    EXPECT_EQ(answer.text[248], c.low);
  }
}

}  // namespace
}  // namespace talvex
