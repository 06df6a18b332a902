// The card watch of the event streams against a simulated serial reader: a
// card is read once per placement, failures are told once per code, and
// auto-detection without a reader runs at most once every 2 s.
#include "flow/card_watch.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "photo/decoder.h"
#include "platform/devices.h"
#include "platform/utf.h"
#include "reader-sim/engine.h"
#include "reader-sim/sim_serial.h"
#include "reader/session.h"
#include "support/no_devices.h"

namespace talvex {
namespace {

using sim::Command;
using sim::Engine;
using sim::SampleCard;
using sim::SampleKind;
using Send = WatchStep::Send;

int TALVEX_VENDOR_CALL DecodedGetBmp(char*, int) {
  return 1;
}

class CardWatchTest : public ::testing::Test {
 protected:
  CardWatchTest()
      : backends_({&serial_, &noHid_, &noUsb_}),
        decoder_(&DecodedGetBmp),
        engine_(SampleCard(SampleKind::Resident)),
        watch_(hold_, pipeline_) {
    ResetStartupCommandForTesting();
    std::string pattern = (std::filesystem::temp_directory_path() / "talvex-watch-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    pipeline_.readCard = [](ReaderHold& hold, const char16_t* photoPath,
                            std::unique_ptr<char[]>& text, std::int32_t& length,
                            CardReadTrace* trace) {
      return ReadCard(hold, photoPath, text, length, trace);
    };
    pipeline_.encodePhoto = [](const char16_t*, std::string& photoText) {
      photoText = "PHOTO";
      return kOk;
    };
    pipeline_.tempDirectory = [this](std::u16string* out) {
      *out = Utf8ToUtf16(dir_ + "/");
      return !dir_.empty();
    };
  }
  ~CardWatchTest() override {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  WatchStep Probe(bool newcomers = false) {
    now_ += 250;
    return watch_.Probe(now_, newcomers);
  }
  void Lift() { engine_.SetCard(std::nullopt); }
  void Place() { engine_.SetCard(SampleCard(SampleKind::Resident)); }

  sim::SimSerialBackend serial_;
  test::NoHid noHid_;
  test::NoUsb noUsb_;
  platform::ScopedDeviceBackends backends_;
  ScopedPhotoDecoder decoder_;
  Engine engine_;
  std::string dir_;
  CardPipeline pipeline_;
  ReaderHold hold_;
  CardWatch watch_;
  std::int64_t now_ = 1000;
};

TEST_F(CardWatchTest, OneReadPerPlacementWhileTheCardRestsOrIsLiftedAndPlaced) {
  serial_.Attach(3, &engine_);
  Lift();
  EXPECT_EQ(Probe().send, Send::kNothing);
  EXPECT_EQ(Probe().send, Send::kNothing);

  Place();
  const WatchStep placed = Probe();
  ASSERT_EQ(placed.send, Send::kCardToAll);
  // Exactly the /readCard body: the result text, then the photo text.
  EXPECT_EQ(placed.body.rfind("0|1|张三|1|男|", 0), 0u);
  EXPECT_EQ(placed.body.substr(placed.body.size() - 6), "|PHOTO");

  // At rest: two short frames a probe, never another read.
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Probe().send, Send::kNothing);
  EXPECT_EQ(engine_.Count(Command::ReadBaseMessage), 1u);
  // 11 probes and the read's own find card.
  EXPECT_EQ(engine_.Count(Command::FindCard), 12u);

  // A listener that came while it rests gets it, and only that one.
  const WatchStep again = Probe(true);
  EXPECT_EQ(again.send, Send::kCardToNewcomers);
  EXPECT_EQ(again.body, placed.body);

  // A reader that stops finding the card after a read (as some do until it
  // is lifted) and one whose card is lifted look alike: the next find is a
  // new placement.
  Lift();
  EXPECT_EQ(Probe().send, Send::kNothing);
  Place();
  EXPECT_EQ(Probe().send, Send::kCardToAll);
  EXPECT_EQ(engine_.Count(Command::ReadBaseMessage), 3u);
  // The reader stayed open throughout: one open, one start-up command.
  EXPECT_EQ(serial_.Stats(3).opens, 1);
  EXPECT_EQ(engine_.Count(Command::Startup), 1u);

  watch_.Quiet();
  EXPECT_EQ(serial_.OpenPorts(), 0);
}

TEST_F(CardWatchTest, ReaderGoneIsToldOnceAndTheNextCardAfterItsReturnIsSent) {
  serial_.Attach(3, &engine_);
  ASSERT_EQ(Probe().send, Send::kCardToAll);

  serial_.Detach(3);
  const WatchStep gone = Probe();
  EXPECT_EQ(gone.send, Send::kFailure);
  EXPECT_EQ(gone.code, kPortOpenFailed);
  EXPECT_EQ(watch_.Failure(), kPortOpenFailed);
  EXPECT_EQ(Probe().send, Send::kNothing);
  EXPECT_EQ(Probe().send, Send::kNothing);

  // Back on the port it was found at, with the same card still on it.
  serial_.Attach(3, &engine_);
  EXPECT_EQ(Probe().send, Send::kCardToAll);
  EXPECT_EQ(watch_.Failure(), kOk);
}

TEST_F(CardWatchTest, WithoutAReaderDetectionRunsAtMostOnceEveryTwoSeconds) {
  // A port whose device never answers the probe: each scan opens it once.
  Engine mute(SampleCard(SampleKind::Resident));
  mute.AddFault(Command::Probe, sim::Fault{sim::FaultKind::Status, 0x41, sim::kPersistent});
  serial_.Attach(9, &mute);
  // 20 probes 250 ms apart, 5 s: scans at 0, 2 and 4 s.
  for (int i = 0; i < 20; ++i) {
    const WatchStep step = Probe();
    EXPECT_EQ(step.send, i == 0 ? Send::kFailure : Send::kNothing);
    if (i == 0) {
      EXPECT_EQ(step.code, kPortOpenFailed);
    }
  }
  EXPECT_EQ(serial_.Stats(9).opens, 3);
  EXPECT_EQ(hold_.Selector(), kTransportAuto);

  // A reader that appears is found by the next scan.
  serial_.Attach(5, &engine_);
  int probes = 0;
  WatchStep step;
  while (step.send != Send::kCardToAll && probes < 20) {
    step = Probe();
    ++probes;
  }
  EXPECT_EQ(step.send, Send::kCardToAll);
  EXPECT_LE(probes, 8);
  EXPECT_EQ(hold_.Selector(), 5);
}

TEST_F(CardWatchTest, ACardThatFailsToReadIsToldOnceAndTriedAgain) {
  serial_.Attach(3, &engine_);
  engine_.AddFault(Command::ReadBaseMessage, sim::Fault{sim::FaultKind::Status, 0x41, 2});
  const WatchStep first = Probe();
  EXPECT_EQ(first.send, Send::kFailure);
  EXPECT_EQ(first.code, ResultCode{0x41});
  EXPECT_EQ(Probe().send, Send::kNothing);  // the same code is not told again
  EXPECT_EQ(Probe().send, Send::kCardToAll);
  EXPECT_EQ(engine_.Count(Command::ReadBaseMessage), 3u);
}

}  // namespace
}  // namespace talvex
