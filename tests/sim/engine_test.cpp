// The simulated reader's answers, its fault shapes and its stream reassembly.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "reader-sim/engine.h"

namespace talvex::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The request frames a host sends, byte for byte.
const Bytes kStartup = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x04, 0x61, 0xFF, 0xC0, 0x5A};
const Bytes kProbe = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x12, 0xFF, 0xEE};
const Bytes kFind = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x01, 0x22};
const Bytes kSelect = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x02, 0x21};
const Bytes kRead = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x30, 0x01, 0x32};

Bytes Ask(Engine& engine, const Bytes& request) {
  return engine.Handle(request.data(), request.size());
}

unsigned Len(const Bytes& frame) {
  return frame[5] * 256u + frame[6];
}

// A response a host accepts: preamble, LEN in range and matching the size,
// XOR from LEN to the checksum zero.
::testing::AssertionResult WellFormed(const Bytes& frame) {
  if (frame.size() < 11)
    return ::testing::AssertionFailure() << "only " << frame.size() << " bytes";
  const Bytes preamble = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
  if (!std::equal(preamble.begin(), preamble.end(), frame.begin())) {
    return ::testing::AssertionFailure() << "preamble wrong";
  }
  if (Len(frame) < 4 || Len(frame) > 2361 || frame.size() != 7 + Len(frame)) {
    return ::testing::AssertionFailure() << "LEN " << Len(frame) << " for " << frame.size();
  }
  std::uint8_t x = 0;
  for (std::size_t i = 5; i < frame.size(); ++i) x ^= frame[i];
  if (x != 0) return ::testing::AssertionFailure() << "checksum off by " << int(x);
  return ::testing::AssertionSuccess();
}

TEST(EngineAnswers, WithACardEveryStepSucceeds) {
  Engine engine(SampleCard(SampleKind::Resident));
  struct Step {
    const Bytes* request;
    std::uint8_t status;
  } steps[] = {{&kStartup, 0x90}, {&kProbe, 0x90}, {&kFind, 0x9F}, {&kSelect, 0x90}};
  for (const Step& s : steps) {
    Bytes a = Ask(engine, *s.request);
    ASSERT_TRUE(WellFormed(a));
    EXPECT_EQ(Len(a), 4u);
    EXPECT_EQ(a[9], s.status) << "command " << int((*s.request)[7]);
  }
}

TEST(EngineAnswers, ReadBaseMessageCarriesTheBlocksAtTheirOffsets) {
  const CardImage card = SampleCard(SampleKind::Hmt);
  Engine engine(card);
  Bytes a = Ask(engine, kRead);
  ASSERT_TRUE(WellFormed(a));
  EXPECT_EQ(a.size(), 1295u);
  EXPECT_EQ(Len(a), 1288u);  // LEN - 4 = 4 + 256 + 1024 exactly
  EXPECT_EQ(a[9], 0x90);
  EXPECT_EQ(a[10] * 256 + a[11], 256);
  EXPECT_EQ(a[12] * 256 + a[13], 1024);
  EXPECT_TRUE(std::equal(card.text, card.text + 256, a.begin() + 14));
  EXPECT_TRUE(std::equal(card.photo, card.photo + 1024, a.begin() + 270));
  // The card-type unit of the permit, at text offset 248.
  EXPECT_EQ(a[14 + 248], 'J');
  EXPECT_EQ(a[14 + 249], 0);
}

TEST(EngineAnswers, WithoutACardFindSelectAndReadFail) {
  Engine engine;
  EXPECT_EQ(Ask(engine, kProbe)[9], 0x90);
  EXPECT_EQ(Ask(engine, kFind)[9], 0x80);
  EXPECT_EQ(Ask(engine, kSelect)[9], 0x81);
  Bytes read = Ask(engine, kRead);
  ASSERT_TRUE(WellFormed(read));
  EXPECT_EQ(read[9], 0x80);
  EXPECT_EQ(Len(read), 4u);
}

TEST(EngineAnswers, CardCanBePutOnAndTakenOff) {
  Engine engine;
  EXPECT_EQ(Ask(engine, kFind)[9], 0x80);
  engine.SetCard(SampleCard(SampleKind::Foreign));
  EXPECT_TRUE(engine.HasCard());
  EXPECT_EQ(Ask(engine, kFind)[9], 0x9F);
  EXPECT_EQ(Ask(engine, kRead)[14 + 248], 'I');
  engine.SetCard(std::nullopt);
  EXPECT_EQ(Ask(engine, kSelect)[9], 0x81);
}

TEST(EngineAnswers, RequestWithWrongChecksumIsRefusedWithStatus10) {
  Engine engine(SampleCard(SampleKind::Resident));
  Bytes bad = kRead;
  bad.back() ^= 0x40;
  Bytes a = Ask(engine, bad);
  ASSERT_TRUE(WellFormed(a));
  EXPECT_EQ(a[9], 0x10);
  EXPECT_EQ(Len(a), 4u);  // no card data for a refused request
  EXPECT_EQ(engine.Count(Command::ReadBaseMessage), 0u);
  EXPECT_EQ(engine.BadRequestChecksums(), 1u);
}

TEST(EngineAnswers, UnknownCommandGetsStatus21) {
  Engine engine(SampleCard(SampleKind::Resident));
  Bytes a = Ask(engine, BuildRequest(0x30, 0x02));  // right command, other parameter
  ASSERT_TRUE(WellFormed(a));
  EXPECT_EQ(a[9], 0x21);
  EXPECT_EQ(engine.UnknownCommands(), 1u);
  EXPECT_EQ(engine.TotalRequests(), 1u);
}

TEST(EngineAnswers, WhatIsNotAFrameGetsNoAnswer) {
  Engine engine(SampleCard(SampleKind::Resident));
  Bytes stray = kFind;
  stray.insert(stray.begin(), 0x00);
  EXPECT_TRUE(Ask(engine, stray).empty());
  Bytes cut(kFind.begin(), kFind.end() - 1);
  EXPECT_TRUE(Ask(engine, cut).empty());
  Bytes lenTwo = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x02, 0x20, 0x22};
  EXPECT_TRUE(Ask(engine, lenTwo).empty());
  EXPECT_EQ(engine.TotalRequests(), 0u);
}

TEST(EngineAnswers, BuiltRequestsMatchTheHostsFrames) {
  EXPECT_EQ(BuildRequest(0x12, 0xFF), kProbe);
  EXPECT_EQ(BuildRequest(0x30, 0x01), kRead);
  const std::uint8_t c0 = 0xC0;
  EXPECT_EQ(BuildRequest(0x61, 0xFF, &c0, 1), kStartup);
}

TEST(EngineCounters, CountPerCommandAndKeepHistoryInOrder) {
  Engine engine(SampleCard(SampleKind::Resident));
  for (const Bytes* r : {&kStartup, &kFind, &kSelect, &kRead, &kFind, &kSelect, &kRead}) {
    Ask(engine, *r);
  }
  EXPECT_EQ(engine.Count(Command::Startup), 1u);
  EXPECT_EQ(engine.Count(Command::Probe), 0u);
  EXPECT_EQ(engine.Count(Command::FindCard), 2u);
  EXPECT_EQ(engine.Count(Command::ReadBaseMessage), 2u);
  auto history = engine.History();
  ASSERT_EQ(history.size(), 7u);
  EXPECT_EQ(history[0].command, Command::Startup);
  EXPECT_EQ(history[3].command, Command::ReadBaseMessage);
  EXPECT_EQ(history[3].answerSize, 1295u);
  EXPECT_EQ(history[4].status, 0x9F);
  engine.ResetCounters();
  EXPECT_EQ(engine.TotalRequests(), 0u);
  EXPECT_TRUE(engine.History().empty());
}

TEST(EngineCounters, HistoryKeepsTheNewestEntries) {
  Engine engine;
  for (std::size_t i = 0; i < Engine::kHistorySize + 3; ++i) Ask(engine, kProbe);
  Ask(engine, kFind);
  auto history = engine.History();
  ASSERT_EQ(history.size(), Engine::kHistorySize);
  EXPECT_EQ(history.back().command, Command::FindCard);
  EXPECT_EQ(history.front().command, Command::Probe);
}

// --- faults ---

Fault MakeFault(FaultKind kind, std::uint32_t value = 0, int count = kPersistent) {
  Fault f;
  f.kind = kind;
  f.value = value;
  f.count = count;
  return f;
}

TEST(EngineAnswers, LiftAfterReadFindsTheCardOncePerPlacement) {
  const CardImage card = SampleCard(SampleKind::Resident);
  Engine engine(card);
  Engine none;
  engine.SetLiftAfterRead(true);
  // A spoiled read answer leaves the card found: the host may try again.
  engine.AddFault(Command::ReadBaseMessage, MakeFault(FaultKind::Silence, 0, 1));
  EXPECT_TRUE(Ask(engine, kRead).empty());
  EXPECT_EQ(Ask(engine, kFind)[9], 0x9F);
  EXPECT_EQ(Ask(engine, kSelect)[9], 0x90);
  EXPECT_EQ(Ask(engine, kRead).size(), 1295u);
  // Read: the card rests on the reader but is answered as no card.
  EXPECT_TRUE(engine.HasCard());
  EXPECT_EQ(Ask(engine, kFind), Ask(none, kFind));
  EXPECT_EQ(Ask(engine, kSelect), Ask(none, kSelect));
  EXPECT_EQ(Ask(engine, kRead), Ask(none, kRead));
  // Lifted and put back: found and read once more.
  engine.SetCard(std::nullopt);
  engine.SetCard(card);
  EXPECT_EQ(Ask(engine, kFind)[9], 0x9F);
  EXPECT_EQ(Ask(engine, kRead).size(), 1295u);
  EXPECT_EQ(Ask(engine, kFind)[9], 0x80);
}

TEST(EngineFaults, StatusFaultKeepsTheFrameValid) {
  Engine engine(SampleCard(SampleKind::Resident));
  engine.AddFault(Command::SelectCard, MakeFault(FaultKind::Status, 0x41));
  Bytes a = Ask(engine, kSelect);
  ASSERT_TRUE(WellFormed(a));
  EXPECT_EQ(a[9], 0x41);
  EXPECT_EQ(Ask(engine, kFind)[9], 0x9F);  // other commands untouched
}

TEST(EngineFaults, ChecksumFaultSpoilsOnlyTheChecksum) {
  Engine engine(SampleCard(SampleKind::Resident));
  Bytes good = Ask(engine, kRead);
  engine.AddFault(Command::ReadBaseMessage, MakeFault(FaultKind::BadChecksum, 0));
  Bytes bad = Ask(engine, kRead);
  ASSERT_EQ(bad.size(), good.size());
  EXPECT_TRUE(std::equal(good.begin(), good.end() - 1, bad.begin()));
  EXPECT_NE(bad.back(), good.back());
  EXPECT_FALSE(WellFormed(bad));
}

TEST(EngineFaults, ShortBodySendsTheHeadAndStops) {
  Engine engine(SampleCard(SampleKind::Resident));
  engine.AddFault(Command::ReadBaseMessage, MakeFault(FaultKind::ShortBody, 0));
  Bytes a = Ask(engine, kRead);
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(Len(a), 1288u);  // the head still promises the whole answer
  engine.ClearFaults();
  engine.AddFault(Command::ReadBaseMessage, MakeFault(FaultKind::ShortBody, 500));
  EXPECT_EQ(Ask(engine, kRead).size(), 507u);
}

TEST(EngineFaults, SilenceAnswersNothingButCountsTheRequest) {
  Engine engine;
  engine.AddFault(Command::Startup, MakeFault(FaultKind::Silence));
  EXPECT_TRUE(Ask(engine, kStartup).empty());
  EXPECT_EQ(engine.Count(Command::Startup), 1u);
  EXPECT_TRUE(engine.History().back().faulted);
}

TEST(EngineFaults, WrongTextAndPhotoLengthsStayInsideAValidFrame) {
  Engine engine(SampleCard(SampleKind::Resident));
  engine.AddFault(Command::ReadBaseMessage, MakeFault(FaultKind::TextLength, 255, 1));
  engine.AddFault(Command::ReadBaseMessage, MakeFault(FaultKind::PhotoLength, 511, 1));
  Bytes a = Ask(engine, kRead);
  ASSERT_TRUE(WellFormed(a));
  EXPECT_EQ(a[10] * 256 + a[11], 255);
  EXPECT_EQ(a[12] * 256 + a[13], 511);
  EXPECT_EQ(Len(a), 1288u);
}

TEST(EngineFaults, CountedFaultsWearOffPersistentOnesStay) {
  Engine engine(SampleCard(SampleKind::Resident));
  engine.AddFault(Command::FindCard, MakeFault(FaultKind::Status, 0x80, 2));
  engine.AddFault(Command::SelectCard, MakeFault(FaultKind::Status, 0x81));
  EXPECT_EQ(Ask(engine, kFind)[9], 0x80);
  EXPECT_EQ(Ask(engine, kFind)[9], 0x80);
  EXPECT_EQ(Ask(engine, kFind)[9], 0x9F);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Ask(engine, kSelect)[9], 0x81);
  engine.ClearFaults(Command::SelectCard);
  EXPECT_EQ(Ask(engine, kSelect)[9], 0x90);
}

TEST(EngineFaults, CombinedFaultsApplyContentBeforeFraming) {
  Engine engine;
  // Added in the "wrong" order on purpose: a status change after the
  // checksum fault would repair the checksum.
  engine.AddFault(Command::Probe, MakeFault(FaultKind::BadChecksum, 0x01));
  engine.AddFault(Command::Probe, MakeFault(FaultKind::Status, 0x9F));
  Bytes a = Ask(engine, kProbe);
  ASSERT_EQ(a.size(), 11u);
  EXPECT_EQ(a[9], 0x9F);
  EXPECT_FALSE(WellFormed(a));
}

TEST(EngineFaults, RandomFaultsFollowTheSeed) {
  auto run = [](std::uint32_t seed) {
    Engine engine(SampleCard(SampleKind::Resident));
    engine.SetRandomFaults(seed, 50);
    std::vector<Bytes> answers;
    for (int i = 0; i < 60; ++i) answers.push_back(Ask(engine, i % 2 ? kRead : kFind));
    return std::make_pair(answers, engine.RandomFaultsInjected());
  };
  auto [a1, n1] = run(7);
  auto [a2, n2] = run(7);
  auto [a3, n3] = run(8);
  EXPECT_EQ(a1, a2);
  EXPECT_EQ(n1, n2);
  EXPECT_NE(a1, a3);
  // About half of 60; very loose so that only a broken percentage fails.
  EXPECT_GT(n1, 10u);
  EXPECT_LT(n1, 50u);
}

TEST(EngineFaults, RandomFaultsAtFullRateSpoilEveryAnswerAndOffAtZero) {
  Engine engine(SampleCard(SampleKind::Resident));
  engine.SetRandomFaults(1, 100);
  for (int i = 0; i < 40; ++i) Ask(engine, kSelect);
  EXPECT_EQ(engine.RandomFaultsInjected(), 40u);
  engine.SetRandomFaults(1, 0);
  Bytes a = Ask(engine, kSelect);
  EXPECT_TRUE(WellFormed(a));
  EXPECT_EQ(a[9], 0x90);
}

TEST(FaultSpec, ParsesEveryShape) {
  Command c;
  Fault f;
  std::string error;
  ASSERT_TRUE(ParseFaultSpec("read:status:0x41", &c, &f, &error)) << error;
  EXPECT_EQ(c, Command::ReadBaseMessage);
  EXPECT_EQ(f.kind, FaultKind::Status);
  EXPECT_EQ(f.value, 0x41u);
  EXPECT_EQ(f.count, kPersistent);

  ASSERT_TRUE(ParseFaultSpec("find-card:len:2362:3", &c, &f, &error)) << error;
  EXPECT_EQ(c, Command::FindCard);
  EXPECT_EQ(f.kind, FaultKind::BadLen);
  EXPECT_EQ(f.value, 2362u);
  EXPECT_EQ(f.count, 3);

  ASSERT_TRUE(ParseFaultSpec("startup:silence:1", &c, &f, &error)) << error;
  EXPECT_EQ(f.kind, FaultKind::Silence);
  EXPECT_EQ(f.count, 1);

  ASSERT_TRUE(ParseFaultSpec("select:short::2", &c, &f, &error)) << error;
  EXPECT_EQ(f.kind, FaultKind::ShortBody);
  EXPECT_EQ(f.value, 0u);
  EXPECT_EQ(f.count, 2);

  ASSERT_TRUE(ParseFaultSpec("probe:len", &c, &f, &error) == false);
  ASSERT_TRUE(ParseFaultSpec("probe:checksum", &c, &f, &error)) << error;
  EXPECT_EQ(f.value, 1u);
  ASSERT_TRUE(ParseFaultSpec("read:photo-length:511:always", &c, &f, &error)) << error;
  EXPECT_EQ(f.kind, FaultKind::PhotoLength);
  EXPECT_EQ(f.count, kPersistent);
}

TEST(FaultSpec, RejectsMistakesWithAReason) {
  Command c;
  Fault f;
  struct Bad {
    const char* spec;
    const char* mentions;
  } cases[] = {
      {"read", "COMMAND:KIND"},
      {"write:status:1", "unknown command"},
      {"read:garble", "unknown fault"},
      {"read:status", "needs a value"},
      {"read:status:256", "out of range"},
      {"read:status:9x", "bad value"},
      {"read:status:1:0", "bad count"},
      {"read:silence:1:2", "no value"},
      {"read:len:3:2:1", "COMMAND:KIND"},
  };
  for (const Bad& b : cases) {
    std::string error;
    EXPECT_FALSE(ParseFaultSpec(b.spec, &c, &f, &error)) << b.spec;
    EXPECT_NE(error.find(b.mentions), std::string::npos) << b.spec << " -> " << error;
  }
}

// --- streaming ---

TEST(EngineStream, ByteByByteGivesTheSameAnswerAsAWholeFrame) {
  Engine whole(SampleCard(SampleKind::Resident));
  Engine stream(SampleCard(SampleKind::Resident));
  Bytes expected = Ask(whole, kRead);
  Bytes out;
  std::size_t frames = 0;
  for (std::uint8_t b : kRead) frames += stream.Feed(&b, 1, &out);
  EXPECT_EQ(frames, 1u);
  EXPECT_EQ(out, expected);
}

TEST(EngineStream, GarbageBeforeAPreambleIsDropped) {
  Engine engine;
  Bytes line = {0x00, 0xAA, 0x96, 0xAA, 0xAA};  // looks like a preamble start, is not
  line.insert(line.end(), kProbe.begin(), kProbe.end());
  Bytes out;
  EXPECT_EQ(engine.Feed(line.data(), line.size(), &out), 1u);
  EXPECT_TRUE(WellFormed(out));
  EXPECT_EQ(engine.DroppedBytes(), 5u);
}

TEST(EngineStream, PreambleSplitAcrossChunksIsKept) {
  Engine engine;
  Bytes out;
  Bytes junk = {0x13, 0x37, 0xAA, 0xAA};
  EXPECT_EQ(engine.Feed(junk.data(), junk.size(), &out), 0u);
  // The rest of a frame whose first two preamble bytes came with the junk.
  EXPECT_EQ(engine.Feed(kFind.data() + 2, kFind.size() - 2, &out), 1u);
  EXPECT_EQ(out.size(), 11u);
  EXPECT_EQ(out[9], 0x80);
}

TEST(EngineStream, ImpossibleLengthMeansResyncOnTheNextPreamble) {
  Engine engine;
  Bytes line = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0xFF, 0xFF};  // LEN 65535: not a frame
  line.insert(line.end(), kSelect.begin(), kSelect.end());
  Bytes out;
  EXPECT_EQ(engine.Feed(line.data(), line.size(), &out), 1u);
  EXPECT_EQ(out[9], 0x81);
}

TEST(EngineStream, SeveralFramesInOneChunkAnswerInOrder) {
  Engine engine(SampleCard(SampleKind::Resident));
  Bytes line;
  for (const Bytes* r : {&kFind, &kSelect, &kRead}) line.insert(line.end(), r->begin(), r->end());
  line.insert(line.end(), kProbe.begin(), kProbe.begin() + 6);  // half a frame left over
  Bytes out;
  EXPECT_EQ(engine.Feed(line.data(), line.size(), &out), 3u);
  ASSERT_EQ(out.size(), 11u + 11u + 1295u);
  EXPECT_EQ(out[9], 0x9F);
  EXPECT_EQ(out[11 + 9], 0x90);
  EXPECT_EQ(out[22 + 9], 0x90);
  EXPECT_TRUE(WellFormed(Bytes(out.begin() + 22, out.end())));
  // The left-over half frame is forgotten on a reset, so the next whole
  // frame is read cleanly.
  engine.ResetStream();
  out.clear();
  EXPECT_EQ(engine.Feed(kProbe.data(), kProbe.size(), &out), 1u);
  EXPECT_EQ(out.size(), 11u);
}

}  // namespace
}  // namespace talvex::sim
