// Serial ports on Linux: a port number resolves through the port directory (or
// the fixed table), the device is opened exclusively in raw 115200 8N1, and
// the Windows COMMTIMEOUTS read and write semantics are emulated with poll()
// deadlines on the monotonic clock.
#include "platform/posix/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>
#include <utility>

#include "platform/posix/unique_fd.h"
#include "platform/serial.h"

namespace talvex::platform {
namespace posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kDefaultPortDirectory[] = "/etc/talvex/ports";
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

speed_t SpeedFor(int baudRate) {
  switch (baudRate) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B115200;
  }
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends
// before it; 0 once it has passed.
int MillisUntil(Clock::time_point deadline, Clock::time_point now) {
  if (now >= deadline) return 0;
  const auto left = std::chrono::ceil<milliseconds>(deadline - now).count();
  return left > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(left);
}

// Waits for `events` on fd for at most timeoutMs (-1: without limit). Returns
// the revents (0 on timeout, also when a signal cut the wait short), -1 on failure.
int WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  const int r = ::poll(&p, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : -1;
  return r == 0 ? 0 : p.revents;
}

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(UniqueFd&& fd, const CommTimeouts& timeouts)
      : fd_(std::move(fd)), timeouts_(timeouts) {}

  // Closing the descriptor then releases the flock.
  ~PosixSerialPort() override { ::ioctl(fd_.get(), TIOCNXCL); }

  void Purge() override { ::tcflush(fd_.get(), TCIOFLUSH); }

  void SetTimeouts(const CommTimeouts& timeouts) override { timeouts_ = timeouts; }

  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) override {
    *written = 0;
    const auto start = Clock::now();
    const std::uint64_t totalMs =
        std::uint64_t{timeouts_.writeMultiplier} * size + timeouts_.writeConstant;
    const std::optional<Clock::time_point> deadline =
        totalMs == 0 ? std::nullopt : std::optional(start + milliseconds(totalMs));

    while (*written < size) {
      const ssize_t n = ::write(fd_.get(), data + *written, size - *written);
      if (n > 0) {
        *written += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      const int timeoutMs = deadline ? MillisUntil(*deadline, Clock::now()) : -1;
      if (timeoutMs == 0) break;
      const int ready = WaitFor(fd_.get(), POLLOUT, timeoutMs);
      if (ready < 0 || (ready & (POLLERR | POLLNVAL))) return false;
      if (ready & POLLHUP) return false;
    }
    return true;
  }

  bool Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) override {
    *got = 0;
    const CommTimeouts& t = timeouts_;
    const auto start = Clock::now();
    const std::uint64_t totalMs = std::uint64_t{t.readMultiplier} * size + t.readConstant;
    // MAXDWORD interval with no total timeout: return at once with what is there.
    const bool immediate = t.readInterval == kMaxDword && totalMs == 0;
    const std::optional<Clock::time_point> totalDeadline =
        immediate      ? std::optional(start)
        : totalMs == 0 ? std::nullopt
                       : std::optional(start + milliseconds(totalMs));
    const bool useInterval = t.readInterval != 0 && t.readInterval != kMaxDword;
    Clock::time_point lastByte{};
    bool hungUp = false;

    while (*got < size) {
      const ssize_t n = ::read(fd_.get(), data + *got, size - *got);
      if (n > 0) {
        *got += static_cast<std::uint32_t>(n);
        lastByte = Clock::now();
        hungUp = false;
        continue;
      }
      if (n == 0) return false;  // end of file: the line has hung up
      if (errno == EINTR) continue;
      if (errno != EAGAIN || hungUp) return false;

      // Nothing pending: wait for the earlier of the two deadlines.
      const auto now = Clock::now();
      std::optional<Clock::time_point> deadline = totalDeadline;
      if (useInterval && *got > 0) {
        const auto intervalEnd = lastByte + milliseconds(t.readInterval);
        if (!deadline || intervalEnd < *deadline) deadline = intervalEnd;
      }
      const int timeoutMs = deadline ? MillisUntil(*deadline, now) : -1;
      if (timeoutMs == 0) break;
      const int ready = WaitFor(fd_.get(), POLLIN, timeoutMs);
      if (ready < 0 || (ready & POLLNVAL)) return false;
      // POLLHUP or POLLERR without data: the next read() reports the error
      // itself, and if it has nothing to say the port is given up as failed
      // rather than polled in a busy loop.
      hungUp = (ready & (POLLHUP | POLLERR)) != 0 && (ready & POLLIN) == 0;
    }
    return true;
  }

 private:
  UniqueFd fd_;
  CommTimeouts timeouts_;
};

void Configure(int fd, int baudRate) {
  termios tio{};
  if (::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    // VMIN 1 makes an empty non-blocking read fail with EAGAIN, so that a read
    // of 0 bytes means the line has hung up. The timing is all poll()'s.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, SpeedFor(baudRate));
    ::cfsetospeed(&tio, SpeedFor(baudRate));
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  // DTR asserted, RTS not; pseudo-terminals refuse both, which is fine.
  int dtr = TIOCM_DTR;
  ::ioctl(fd, TIOCMBIS, &dtr);
  int rts = TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &rts);
  ::tcflush(fd, TCIOFLUSH);
}

class PosixSerialBackend final : public SerialBackend {
 public:
  std::unique_ptr<SerialPort> Open(int number, int baudRate,
                                   const CommTimeouts& timeouts) override {
    const std::string path = SerialPortPath(number);
    if (path.empty()) return nullptr;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return nullptr;
    // Only terminals are ports: a stray regular file or FIFO in the port
    // directory must not be written to as if it were a reader.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd.get())) {
      return nullptr;
    }
    // No sharing: the lock makes a port that another program holds fail to
    // open, and TIOCEXCL then keeps other (unprivileged) openers out. The
    // flag belongs to the terminal, not to this descriptor, so it is set only
    // once the port is ours: set before a refused lock it would stay behind
    // and shut the holder out of its own next open.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
    ::ioctl(fd.get(), TIOCEXCL);
    Configure(fd.get(), baudRate);
    // When the port object cannot be had, fd is still ours and closes here.
    std::unique_ptr<SerialPort> port(new (std::nothrow) PosixSerialPort(std::move(fd), timeouts));
    if (!port) ::ioctl(fd.get(), TIOCNXCL);
    return port;
  }
};

}  // namespace

std::string SerialPortDirectory() {
  const char* env = std::getenv("TALVEX_PORTS");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string(kDefaultPortDirectory);
}

std::string SerialPortPath(int number) {
  if (number < 1) return {};
  const std::string dir = SerialPortDirectory();
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string entry = dir + "/com" + std::to_string(number);
    struct stat est {};
    return ::lstat(entry.c_str(), &est) == 0 ? entry : std::string();
  }
  if (number <= 16) return "/dev/ttyUSB" + std::to_string(number - 1);
  if (number <= 24) return "/dev/ttyACM" + std::to_string(number - 17);
  return "/dev/ttyS" + std::to_string(number - 25);
}

}  // namespace posix

std::string SerialPortSource() {
  const std::string dir = posix::SerialPortDirectory();
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "port directory " + dir;
  return "default table (/dev/ttyUSB0-15, /dev/ttyACM0-7, /dev/ttyS0-7)";
}

SerialBackend& SystemSerialBackend() {
  static posix::PosixSerialBackend backend;
  return backend;
}

}  // namespace talvex::platform
