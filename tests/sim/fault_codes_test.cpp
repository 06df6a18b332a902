// What each simulated fault does to a card read on the host: the result codes
// the simulator's README promises, checked against the real reader session
// over the in-process serial ports.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/devices.h"
#include "reader-sim/sim_serial.h"
#include "reader/session.h"

namespace talvex::sim {
namespace {

constexpr int kPort = 5;

class SimulatedRead : public ::testing::Test {
 protected:
  SimulatedRead() : backends_({&serial_, nullptr, nullptr}) {
    serial_.Attach(kPort, &engine_);
    ResetStartupCommandForTesting();
  }

  void Fail(const char* spec) {
    Command c;
    Fault f;
    std::string error;
    ASSERT_TRUE(ParseFaultSpec(spec, &c, &f, &error)) << error;
    engine_.AddFault(c, f);
  }

  // One read on the port; the first failing step's code, or 0.
  ResultCode Read(std::int32_t* kind = nullptr) {
    std::int32_t selector = kPort;
    std::unique_ptr<ReaderContext> ctx;
    ResultCode rc = OpenReader(selector, ctx);
    if (rc == kOk) {
      CardAnswer answer;
      rc = ReadCardData(*ctx, answer);
      if (kind) *kind = answer.kind;
      ctx.reset();
    }
    EXPECT_EQ(serial_.OpenPorts(), 0);
    return rc;
  }

  Engine engine_{SampleCard(SampleKind::Resident)};
  SimSerialBackend serial_;
  platform::ScopedDeviceBackends backends_;
};

TEST_F(SimulatedRead, EachCardKindIsRecognised) {
  const std::pair<SampleKind, std::int32_t> cases[] = {
      {SampleKind::Resident, 1}, {SampleKind::Foreign, 2}, {SampleKind::Hmt, 3}};
  for (const auto& [sample, expected] : cases) {
    engine_.SetCard(SampleCard(sample));
    std::int32_t kind = 0;
    EXPECT_EQ(Read(&kind), kOk);
    EXPECT_EQ(kind, expected);
  }
  EXPECT_EQ(engine_.Count(Command::Startup), 1u);  // once per process, not per read
  EXPECT_EQ(engine_.Count(Command::ReadBaseMessage), 3u);
}

TEST_F(SimulatedRead, NoCardEndsWithFindCardFailed) {
  engine_.SetCard(std::nullopt);
  EXPECT_EQ(Read(), kStatusFindCardFailed);
  EXPECT_EQ(engine_.Count(Command::ReadBaseMessage), 1u);  // 80 and 81 do not stop the sequence
}

TEST_F(SimulatedRead, FaultsGiveTheDocumentedCodes) {
  struct Case {
    const char* fault;
    std::int32_t code;
  } cases[] = {
      {"read:checksum", 3},
      {"read:stray", 281},
      {"read:len:3", 282},
      {"read:len:2362", 282},
      {"read:len:2000", 2},
      {"read:short", 2},
      {"read:short:500", 2},
      {"find:silence", 2},
      {"read:text-length:255", 284},
      {"read:photo-length:511", 284},
      {"read:photo-length:2000", 284},
      {"find:status:0x90", 283},
      {"select:status:0x80", 128},
      {"read:status:0x41", 65},
      {"startup:silence", 2},
  };
  for (const Case& c : cases) {
    ResetStartupCommandForTesting();
    engine_.ClearFaults();
    Fail(c.fault);
    EXPECT_EQ(ToNumber(Read()), c.code) << c.fault;
  }
  engine_.ClearFaults();
  EXPECT_EQ(Read(), kOk);
}

TEST_F(SimulatedRead, CountedFaultWearsOffOnTheNextRead) {
  Fail("startup:silence:1");
  EXPECT_EQ(Read(), kReceiveTimeout);
  // The start-up command is not sent again, and the card reads.
  EXPECT_EQ(Read(), kOk);
  EXPECT_EQ(engine_.Count(Command::Startup), 1u);
}

}  // namespace
}  // namespace talvex::sim
