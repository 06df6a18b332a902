// Linux serial ports: the port directory and the default table, the line
// settings, and the emulated read and write timeouts, over pseudo-terminals.
#include "platform/posix/serial_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "platform/serial.h"
#include "support/pty_reader.h"

namespace talvex::platform {
namespace {

using Clock = std::chrono::steady_clock;
using posix::SerialPortPath;

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(SerialPortNames, WithoutAPortDirectoryTheFixedTableApplies) {
  ::setenv("TALVEX_PORTS", "/nonexistent/talvex-ports", 1);
  EXPECT_EQ(SerialPortPath(1), "/dev/ttyUSB0");
  EXPECT_EQ(SerialPortPath(16), "/dev/ttyUSB15");
  EXPECT_EQ(SerialPortPath(17), "/dev/ttyACM0");
  EXPECT_EQ(SerialPortPath(24), "/dev/ttyACM7");
  EXPECT_EQ(SerialPortPath(25), "/dev/ttyS0");
  EXPECT_EQ(SerialPortPath(32), "/dev/ttyS7");
  EXPECT_EQ(SerialPortPath(999), "/dev/ttyS974");
  EXPECT_EQ(SerialPortPath(0), "");
  EXPECT_EQ(SerialPortPath(-5), "");
  ::unsetenv("TALVEX_PORTS");
}

TEST(SerialPortNames, AnEmptyVariableMeansTheSystemDirectory) {
  ::setenv("TALVEX_PORTS", "", 1);
  EXPECT_EQ(posix::SerialPortDirectory(), "/etc/talvex/ports");
  ::unsetenv("TALVEX_PORTS");
  EXPECT_EQ(posix::SerialPortDirectory(), "/etc/talvex/ports");
}

TEST(SerialPortNames, AnExistingDirectoryIsTheWholeMap) {
  test::PortDirectory dir;
  ASSERT_TRUE(dir.Link(3, "/dev/null"));
  EXPECT_EQ(SerialPortPath(3), dir.path() + "/com3");
  EXPECT_EQ(SerialPortPath(4), "") << "no entry, no port, whatever the default table says";
  EXPECT_EQ(SerialPortPath(1), "");
}

// Port 1 of a temporary directory is a pseudo-terminal whose master the test
// holds. It starts in the kernel's default (cooked, echoing) mode: opening it
// as a port must make it raw.
class SerialPosixPort : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    int m = -1, s = -1;
    ASSERT_EQ(::openpty(&m, &s, name, nullptr, nullptr), 0);
    master.reset(m);
    slave.reset(s);
    ASSERT_TRUE(dir.Link(1, name));
  }
  std::unique_ptr<SerialPort> Open(const CommTimeouts& t) {
    return SystemSerialBackend().Open(1, 115200, t);
  }
  void Send(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::write(master.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  test::PortDirectory dir;
  posix::UniqueFd master;
  posix::UniqueFd slave;
};

constexpr CommTimeouts kPatient{1000, 1, 3000, 1, 3000};

TEST_F(SerialPosixPort, TheLineIsRawSoControlBytesPassUnchanged) {
  auto port = Open(kPatient);
  ASSERT_NE(port, nullptr);
  termios t{};
  ASSERT_EQ(::tcgetattr(slave.get(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);

  const std::vector<std::uint8_t> awkward = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xFF, 0x00};
  Send(awkward);
  std::vector<std::uint8_t> got(awkward.size());
  std::uint32_t n = 0;
  ASSERT_TRUE(port->Read(got.data(), static_cast<std::uint32_t>(got.size()), &n));
  EXPECT_EQ(got, awkward);

  ASSERT_TRUE(port->Write(awkward.data(), static_cast<std::uint32_t>(awkward.size()), &n));
  EXPECT_EQ(n, awkward.size());
  std::vector<std::uint8_t> out(awkward.size());
  EXPECT_EQ(::read(master.get(), out.data(), out.size()), static_cast<ssize_t>(out.size()));
  EXPECT_EQ(out, awkward);
}

TEST_F(SerialPosixPort, TheTotalReadTimeoutGrowsWithTheBytesAsked) {
  auto port = Open({0, 20, 100, 0, 0});  // 20 x 10 + 100 = 300 ms for 10 bytes
  ASSERT_NE(port, nullptr);
  std::uint8_t buf[10];
  std::uint32_t n = 99;
  const auto start = Clock::now();
  ASSERT_TRUE(port->Read(buf, 10, &n));
  const long long ms = MillisSince(start);
  EXPECT_EQ(n, 0u);
  EXPECT_GE(ms, 300);
  EXPECT_LT(ms, 1500);
}

TEST_F(SerialPosixPort, AShortAnswerIsReportedWithItsCountOnceTheIntervalPasses) {
  auto port = Open({50, 0, 5000, 0, 0});
  ASSERT_NE(port, nullptr);
  Send({1, 2, 3});
  std::uint8_t buf[10];
  std::uint32_t n = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(port->Read(buf, 10, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_LT(MillisSince(start), 2000);
}

TEST_F(SerialPosixPort, AnIntervalOfAllOnesWithoutTotalsReturnsAtOnce) {
  auto port = Open({0xFFFFFFFFu, 0, 0, 0, 0});
  ASSERT_NE(port, nullptr);
  std::uint8_t buf[10];
  std::uint32_t n = 99;
  const auto start = Clock::now();
  ASSERT_TRUE(port->Read(buf, 10, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_LT(MillisSince(start), 500);
}

TEST_F(SerialPosixPort, AReaderThatVanishesMidReadIsAFailureNotATimeout) {
  auto port = Open(kPatient);
  ASSERT_NE(port, nullptr);
  Send({1, 2, 3});  // the start of an answer; the reader goes before the rest
  std::thread unplug([this] {
    int queued = 0;  // until the port has taken those bytes: the read is under way
    while (::ioctl(slave.get(), FIONREAD, &queued) == 0 && queued > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    slave.reset();
    master.reset();
  });
  std::uint8_t buf[7];
  std::uint32_t n = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(port->Read(buf, 7, &n));
  EXPECT_LT(MillisSince(start), 2500);
  unplug.join();
}

TEST_F(SerialPosixPort, AWriteNobodyTakesGivesUpAfterTheWriteTimeout) {
  auto port = Open({0, 0, 0, 0, 200});
  ASSERT_NE(port, nullptr);
  const std::vector<std::uint8_t> lots(1 << 20, 0x42);
  std::uint32_t n = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(port->Write(lots.data(), static_cast<std::uint32_t>(lots.size()), &n));
  const long long ms = MillisSince(start);
  EXPECT_LT(n, lots.size());
  EXPECT_GE(ms, 200);
  EXPECT_LT(ms, 2000);
}

TEST_F(SerialPosixPort, OnlyTerminalsOpenAndEachOnlyOnce) {
  ASSERT_TRUE(dir.PlainFile(2));
  EXPECT_EQ(SystemSerialBackend().Open(2, 115200, kPatient), nullptr);
  EXPECT_EQ(SystemSerialBackend().Open(3, 115200, kPatient), nullptr);  // no entry
  auto first = Open(kPatient);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Open(kPatient), nullptr);
  first.reset();
  EXPECT_NE(Open(kPatient), nullptr);
}

// A port that another program holds with its lock only does not open, and
// the failed attempt leaves the line as it was: not marked exclusive, which
// would lock that program (and anyone unprivileged) out of its own reopen.
TEST_F(SerialPosixPort, APortHeldByAnotherProgramIsRefusedWithoutMarkingItExclusive) {
  posix::UniqueFd holder(::open((dir.path() + "/com1").c_str(), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(holder);
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Open(kPatient), nullptr);
  int exclusive = -1;
  ASSERT_EQ(::ioctl(slave.get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  holder.reset();

  // Once the line is free it opens, is exclusive while held, and is released on close.
  auto port = Open(kPatient);
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(::ioctl(slave.get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  port.reset();
  ASSERT_EQ(::ioctl(slave.get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

}  // namespace
}  // namespace talvex::platform
