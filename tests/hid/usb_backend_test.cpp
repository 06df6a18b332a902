// The Linux USB reader "driver": whole-packet receive buffering, and which
// devices count as readers by their udev tag.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>

#include "hid/frames.h"
#include "platform/posix/usb_bulk.h"
#include "platform/posix/usb_posix.h"
#include "platform/usb.h"

namespace talvex::platform::posix {
namespace {

// A bulk IN pipe that plays back a script: each step brings up to its bytes
// (never more than asked) with its status.
class ScriptedPipe : public BulkInPipe {
 public:
  struct Step {
    std::vector<std::uint8_t> bytes;
    Status status = Status::kOk;
  };
  std::deque<Step> script;
  std::vector<std::uint32_t> asked;
  std::vector<std::uint32_t> timeouts;

  Status Read(std::uint8_t* data, std::uint32_t capacity, std::uint32_t timeoutMs,
              std::uint32_t* got) override {
    asked.push_back(capacity);
    timeouts.push_back(timeoutMs);
    *got = 0;
    if (script.empty()) return Status::kTimeout;
    Step step = script.front();
    script.pop_front();
    const std::uint32_t n = std::min<std::uint32_t>(capacity, step.bytes.size());
    std::copy_n(step.bytes.begin(), n, data);
    *got = n;
    return step.status;
  }
};

// The answer cut into USB packets the way a device sends it.
std::deque<ScriptedPipe::Step> Packets(const std::vector<std::uint8_t>& bytes, std::size_t size) {
  std::deque<ScriptedPipe::Step> steps;
  for (std::size_t at = 0; at < bytes.size(); at += size) {
    const std::size_t n = std::min(size, bytes.size() - at);
    steps.push_back({std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + at + n)});
  }
  return steps;
}

TEST(UsbBulkReceive, HeadThenExactlyLenFromWholePackets) {
  const std::vector<std::uint8_t> frame = testing::ResponseWithLen(1289);
  ScriptedPipe pipe;
  pipe.script = Packets(frame, 64);
  BulkReceiveBuffer buffer(64, 2361);
  std::uint8_t out[2368] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(buffer.Receive(pipe, out, 7, 3000, &got));
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(pipe.asked, (std::vector<std::uint32_t>{64}));  // one whole packet, not 7 bytes
  EXPECT_EQ(buffer.Buffered(), 57u);
  ASSERT_TRUE(buffer.Receive(pipe, out + 7, 1289, 3000, &got));
  EXPECT_EQ(got, 1289u);
  EXPECT_EQ(std::memcmp(out, frame.data(), frame.size()), 0);
  for (std::uint32_t a : pipe.asked) EXPECT_EQ(a % 64, 0u);
  EXPECT_EQ(buffer.Buffered(), 0u);
}

TEST(UsbBulkReceive, BytesBeyondTheRequestWaitForTheNextOne) {
  const std::vector<std::uint8_t> frame = testing::ResponseWithLen(20);  // 27 bytes
  ScriptedPipe pipe;
  pipe.script.push_back({frame});  // one short packet holds the whole answer
  BulkReceiveBuffer buffer(512, 2361);
  std::uint8_t out[64] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(buffer.Receive(pipe, out, 7, 3000, &got));
  ASSERT_TRUE(buffer.Receive(pipe, out + 7, 20, 3000, &got));
  EXPECT_EQ(got, 20u);
  EXPECT_EQ(pipe.asked.size(), 1u);
  EXPECT_EQ(std::memcmp(out, frame.data(), frame.size()), 0);
}

TEST(UsbBulkReceive, TimeoutHandsOutWhatArrived) {
  ScriptedPipe pipe;
  pipe.script.push_back({{1, 2, 3}, BulkInPipe::Status::kTimeout});
  BulkReceiveBuffer buffer(64, 2361);
  std::uint8_t out[16] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(buffer.Receive(pipe, out, 7, 3000, &got));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(out[2], 3);
}

TEST(UsbBulkReceive, FailedTransferIsAFailureNotAShortCount) {
  ScriptedPipe pipe;
  pipe.script.push_back({{}, BulkInPipe::Status::kFailed});
  BulkReceiveBuffer buffer(64, 2361);
  std::uint8_t out[16] = {};
  std::uint32_t got = 0;
  EXPECT_FALSE(buffer.Receive(pipe, out, 7, 3000, &got));
}

TEST(UsbBulkReceive, DiscardDropsTheRestOfAnEarlierAnswer) {
  ScriptedPipe pipe;
  pipe.script.push_back({std::vector<std::uint8_t>(40, 0x11)});
  BulkReceiveBuffer buffer(64, 2361);
  std::uint8_t out[64] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(buffer.Receive(pipe, out, 7, 3000, &got));
  buffer.Discard();
  pipe.script.push_back({std::vector<std::uint8_t>(7, 0x22)});
  ASSERT_TRUE(buffer.Receive(pipe, out, 7, 3000, &got));
  EXPECT_EQ(out[0], 0x22);
}

TEST(UsbBulkReceive, ZeroLengthPacketsDoNotLoopPastTheDeadline) {
  ScriptedPipe pipe;
  for (int i = 0; i < 100000; ++i) pipe.script.push_back({{}});
  BulkReceiveBuffer buffer(64, 2361);
  std::uint8_t out[16] = {};
  std::uint32_t got = 0;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(buffer.Receive(pipe, out, 7, 50, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Each transfer gets the time that is left, never 0 (which means "forever").
  for (std::uint32_t t : pipe.timeouts) {
    EXPECT_GT(t, 0u);
    EXPECT_LE(t, 50u);
  }
}

class UdevTagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/talvex-udev-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Entry(unsigned major, unsigned minor, const std::string& text) {
    std::ofstream(dir_ + "/c" + std::to_string(major) + ":" + std::to_string(minor)) << text;
  }
  std::string dir_;
};

TEST_F(UdevTagTest, OnlyTheExactPropertyLineCounts) {
  Entry(189, 5, "I:123\nE:ID_VENDOR=kavro\nE:TALVEX_READER=1\nG:uaccess\n");
  Entry(189, 6, "E:TALVEX_READER=10\nE:TALVEX_READER=0\nE:XTALVEX_READER=1\n");
  Entry(189, 7, "S:TALVEX_READER=1\nTALVEX_READER=1\n");
  EXPECT_TRUE(UdevDeviceHasProperty(dir_, 189, 5, "TALVEX_READER=1"));
  EXPECT_FALSE(UdevDeviceHasProperty(dir_, 189, 6, "TALVEX_READER=1"));
  EXPECT_FALSE(UdevDeviceHasProperty(dir_, 189, 7, "TALVEX_READER=1"));
  EXPECT_FALSE(UdevDeviceHasProperty(dir_, 189, 8, "TALVEX_READER=1"));  // no entry
  EXPECT_FALSE(UdevDeviceHasProperty(dir_, 5, 189, "TALVEX_READER=1"));  // major, minor order
}

TEST_F(UdevTagTest, NodeIsLookedUpByItsDeviceNumber) {
  struct stat st;
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_FALSE(UsbNodeIsReader("/dev/null", dir_));
  Entry(major(st.st_rdev), minor(st.st_rdev), "E:TALVEX_READER=1\n");
  EXPECT_TRUE(UsbNodeIsReader("/dev/null", dir_));
  // A plain file with the same name pattern is no device node.
  std::ofstream(dir_ + "/node") << "";
  EXPECT_FALSE(UsbNodeIsReader(dir_ + "/node", dir_));
  EXPECT_FALSE(UsbNodeIsReader(dir_ + "/missing", dir_));
}

TEST(UsbSystemBackend, NoUsbHereMeansNoDevicesAndNoFailure) {
  if (::access("/dev/bus/usb", F_OK) == 0) GTEST_SKIP() << "this machine has USB";
  std::vector<DeviceInterface> list{{"stale", u""}};
  EXPECT_TRUE(SystemUsbBackend().Enumerate(&list));
  EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace talvex::platform::posix
