// The card read flow against simulated readers on the simulator's in-process
// serial ports, with a scripted photo decoder.
#include "flow/read_card.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "card/result_text.h"
#include "photo/decoder.h"
#include "platform/devices.h"
#include "platform/utf.h"
#include "reader-sim/engine.h"
#include "reader-sim/sim_serial.h"
#include "reader/session.h"
#include "support/no_devices.h"
#include "support/refusing_allocator.h"

// Allocation failure on demand: an armed failure refuses the next array
// allocation of the result buffer's size.
namespace {
bool failResultBufferAllocation = false;

bool ResultBufferOnce(const refusing_allocator::Request& r) {
  if (!failResultBufferAllocation || !r.array || r.size != talvex::kResultTextCapacity)
    return false;
  failResultBufferAllocation = false;
  return true;
}
}  // namespace

namespace talvex {
namespace {

using sim::Command;
using sim::Engine;
using sim::Fault;
using sim::FaultKind;
using sim::SampleCard;
using sim::SampleKind;

// What the scripted decoder saw, and what it answers.
struct DecoderScript {
  int answer = 1;
  int calls = 0;
  std::string path;
  int mode = 0;
  std::vector<std::uint8_t> photoFile;  // the photo file's bytes when called
};
DecoderScript decoder;

int TALVEX_VENDOR_CALL ScriptedGetBmp(char* path, int mode) {
  ++decoder.calls;
  decoder.path = path;
  decoder.mode = mode;
  std::ifstream in(path, std::ios::binary);
  decoder.photoFile.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return decoder.answer;
}

class ReadCardTest : public ::testing::Test {
 protected:
  ReadCardTest() : backends_({&serial_, &noHid_, &noUsb_}), scopedDecoder_(&ScriptedGetBmp) {}

  void SetUp() override {
    ResetStartupCommandForTesting();
    decoder = DecoderScript{};
    std::string pattern =
        (std::filesystem::temp_directory_path() / "talvex-cardflow-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    photoPath_ = Utf8ToUtf16(dir_ + "/image.wlt");
  }

  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // One read; checks the outputs are consistent with the code.
  ResultCode Read(std::int32_t& selector) {
    text_.reset(new char[8]);  // a stale buffer from before must be dropped
    length_ = 99;
    ResultCode rc = ReadCard(selector, photoPath_.c_str(), text_, length_);
    if (rc != kOk) {
      EXPECT_EQ(text_, nullptr) << "a failed read handed out a buffer";
      EXPECT_EQ(length_, 0);
    } else if (text_) {
      EXPECT_EQ(static_cast<std::size_t>(length_), std::strlen(text_.get()));
    }
    EXPECT_EQ(serial_.OpenPorts(), 0) << "a serial port was left open";
    return rc;
  }

  std::string Text() const { return text_ ? std::string(text_.get(), length_) : std::string(); }

  sim::SimSerialBackend serial_;
  test::NoHid noHid_;
  test::NoUsb noUsb_;
  platform::ScopedDeviceBackends backends_;
  ScopedPhotoDecoder scopedDecoder_;
  std::string dir_;
  std::u16string photoPath_;
  std::unique_ptr<char[]> text_;
  std::int32_t length_ = 0;
};

std::vector<std::uint8_t> PhotoOf(const sim::CardImage& card) {
  return std::vector<std::uint8_t>(std::begin(card.photo), std::end(card.photo));
}

// --- whole reads ---

TEST_F(ReadCardTest, EachKindEndToEndOnASerialReader) {
  struct Case {
    SampleKind kind;
    const char* text;
  } cases[] = {
      {SampleKind::Resident,
       "0|1|张三|1|男|01|汉|20000101|某省某市某区某路1号|000000200001010000|某市公安局|"
       "20200101|20400101|"},
      {SampleKind::Foreign,
       "0|2|DOE JANE|2|女/F|000000000000000|USA|美国/USA|多伊|20200101|20300101|19800101|"
       "01|0000|公安部/Ministry of Public Security|"},
      {SampleKind::Hmt,
       "0|3|李四|1|男|19900101|某省某市某区某路2号|000000199001010000|某市公安局|20200101|"
       "20250101|H00000000|01|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::SampleKindName(c.kind));
    Engine engine(SampleCard(c.kind));
    serial_.Attach(7, &engine);
    decoder = DecoderScript{};
    std::int32_t selector = 0;
    ASSERT_EQ(Read(selector), kOk);
    EXPECT_EQ(selector, 7);
    EXPECT_EQ(Text(), c.text);
    // The photo block reached the decoder's file unchanged, for a serial reader.
    EXPECT_EQ(decoder.calls, 1);
    EXPECT_EQ(decoder.mode, 1);
    EXPECT_EQ(decoder.path, dir_ + "/image.wlt");
    EXPECT_EQ(decoder.photoFile, PhotoOf(SampleCard(c.kind)));
    serial_.Detach(7);
  }
}

TEST_F(ReadCardTest, SecondReadUsesTheWrittenBackSelector) {
  Engine engine(SampleCard(SampleKind::Resident));
  serial_.Attach(12, &engine);
  std::int32_t selector = 0;
  ASSERT_EQ(Read(selector), kOk);
  ASSERT_EQ(selector, 12);
  const int opensAfterFirst = serial_.TotalOpens();
  EXPECT_EQ(serial_.Stats(12).opens, 1);  // the scan found it and kept it open
  const std::string first = Text();

  ASSERT_EQ(Read(selector), kOk);
  EXPECT_EQ(selector, 12);
  EXPECT_EQ(Text(), first);
  // Straight to port 12: one open, no probe, no second start-up command.
  EXPECT_EQ(serial_.TotalOpens(), opensAfterFirst + 1);
  EXPECT_EQ(serial_.Stats(12).opens, 2);
  EXPECT_EQ(engine.Count(Command::Probe), 1u);
  EXPECT_EQ(engine.Count(Command::Startup), 1u);
  EXPECT_EQ(engine.Count(Command::FindCard), 2u);
  EXPECT_EQ(engine.Count(Command::ReadBaseMessage), 2u);
  EXPECT_EQ(decoder.calls, 2);
}

// --- failures: the code comes back, nothing is handed out, all is released ---

TEST_F(ReadCardTest, NoReaderAnywhereGives1AndKeepsTheSelector) {
  std::int32_t selector = 0;
  EXPECT_EQ(Read(selector), kPortOpenFailed);
  EXPECT_EQ(selector, 0);
  EXPECT_EQ(decoder.calls, 0);

  selector = 9;  // a port without a reader: no fall-back to auto-detection
  Engine engine(SampleCard(SampleKind::Resident));
  serial_.Attach(4, &engine);
  EXPECT_EQ(Read(selector), kPortOpenFailed);
  EXPECT_EQ(selector, 9);
  EXPECT_EQ(serial_.Stats(4).opens, 0);

  selector = 1500;  // names no transport
  EXPECT_EQ(Read(selector), kPortOpenFailed);
  EXPECT_EQ(selector, 1500);
}

TEST_F(ReadCardTest, NoCardOnTheReaderGives128) {
  Engine engine;  // find 0x80, select 0x81, read 0x80
  serial_.Attach(5, &engine);
  std::int32_t selector = 0;
  EXPECT_EQ(Read(selector), kStatusFindCardFailed);
  EXPECT_EQ(selector, 5);
  EXPECT_EQ(decoder.calls, 0);
}

TEST_F(ReadCardTest, CardSequenceFailuresPassTheirCodeThrough) {
  struct Case {
    const char* what;
    Command command;
    Fault fault;
    ResultCode expected;
  } cases[] = {
      {"find answers success", Command::FindCard, {FaultKind::Status, 0x90}, kFindCardAnswerError},
      {"select answers 0x80", Command::SelectCard, {FaultKind::Status, 0x80}, ResultCode{128}},
      {"read is silent", Command::ReadBaseMessage, {FaultKind::Silence}, kReceiveTimeout},
      {"text length 255", Command::ReadBaseMessage, {FaultKind::TextLength, 255}, kInfoLengthError},
      // The blocks must fit in the LEN - 4 data bytes the frame carries.
      {"photo one past the frame",
       Command::ReadBaseMessage,
       {FaultKind::PhotoLength, sim::kReadAnswerLen - 4 - 4 - 256 + 1},
       kInfoLengthError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Engine engine(SampleCard(SampleKind::Resident));
    engine.AddFault(c.command, c.fault);
    serial_.Attach(6, &engine);
    decoder = DecoderScript{};
    std::int32_t selector = 6;
    EXPECT_EQ(Read(selector), c.expected);
    EXPECT_EQ(decoder.calls, 0);
    EXPECT_EQ(serial_.Stats(6).closes, serial_.Stats(6).opens);
    serial_.Detach(6);
  }
}

TEST_F(ReadCardTest, DecoderFailureDiscardsTheText) {
  const std::pair<int, ResultCode> answers[] = {{0, kDecoderSdtapiError},
                                                {-1, kDecoderPhotoError},
                                                {-4, kDecoderFormatError},
                                                {-6, kDecoderDeviceError},
                                                {2, kDecoderOtherError}};
  Engine engine(SampleCard(SampleKind::Resident));
  serial_.Attach(5, &engine);
  for (const auto& [answer, expected] : answers) {
    decoder.answer = answer;
    std::int32_t selector = 5;
    EXPECT_EQ(Read(selector), expected) << "decoder answer " << answer;
  }
  EXPECT_EQ(decoder.calls, static_cast<int>(std::size(answers)));
}

TEST_F(ReadCardTest, ResultBufferAllocationFailureGives277AndClosesTheReader) {
  Engine engine(SampleCard(SampleKind::Resident));
  serial_.Attach(5, &engine);
  std::int32_t selector = 5;
  failResultBufferAllocation = true;
  {
    RefusedAllocations refused(ResultBufferOnce);
    EXPECT_EQ(Read(selector), kOutOfMemory);
  }
  EXPECT_FALSE(failResultBufferAllocation) << "the result buffer was not allocated";
  EXPECT_EQ(serial_.Stats(5).closes, 1);
  EXPECT_EQ(decoder.calls, 0);
  // The next read is unaffected.
  EXPECT_EQ(Read(selector), kOk);
}

}  // namespace
}  // namespace talvex
