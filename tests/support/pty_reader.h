// A reader on the far side of a real pseudo-terminal: the test holds the
// master side, the code under test opens the slave like any serial port. Each
// request frame that arrives is answered by a script, in chunks with pauses.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/unique_fd.h"

namespace talvex::test {

struct Chunk {
  int delayMs;  // pause before these bytes go out
  std::vector<std::uint8_t> bytes;
};

class PtyReader {
 public:
  using PtyScript = std::function<std::vector<Chunk>(const std::vector<std::uint8_t>&)>;

  explicit PtyReader(PtyScript script = {}) : script_(std::move(script)) {
    termios raw{};
    ::cfmakeraw(&raw);
    char name[128] = {};
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0) return;
    master_.reset(master);
    slave_.reset(slave);
    slavePath_ = name;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
  }

  ~PtyReader() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  PtyReader(const PtyReader&) = delete;
  PtyReader& operator=(const PtyReader&) = delete;

  bool ok() const { return !slavePath_.empty(); }
  const std::string& slavePath() const { return slavePath_; }

  std::vector<std::vector<std::uint8_t>> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // Answers every request with the bytes of an ordinary script, at once.
  static PtyScript AtOnce(
      std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)> answer) {
    return [answer = std::move(answer)](const std::vector<std::uint8_t>& request) {
      return std::vector<Chunk>{{0, answer(request)}};
    };
  }

 private:
  void Run() {
    std::vector<std::uint8_t> in;
    while (!stop_) {
      pollfd p{master_.get(), POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      std::uint8_t buf[4096];
      const ssize_t n = ::read(master_.get(), buf, sizeof buf);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      in.insert(in.end(), buf, buf + n);
      // Whole request frames: resynchronise on the preamble's first byte.
      while (!in.empty() && in[0] != 0xAA) in.erase(in.begin());
      while (in.size() >= 7) {
        const std::size_t total = 7 + (std::size_t{in[5]} << 8 | in[6]);
        if (in.size() < total) break;
        std::vector<std::uint8_t> request(in.begin(), in.begin() + total);
        in.erase(in.begin(), in.begin() + total);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(request);
        }
        if (script_) Answer(script_(request));
      }
    }
  }

  void Answer(const std::vector<Chunk>& chunks) {
    for (const Chunk& c : chunks) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(c.delayMs);
      while (!stop_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      std::size_t sent = 0;
      while (!stop_ && sent < c.bytes.size()) {
        const ssize_t n = ::write(master_.get(), c.bytes.data() + sent, c.bytes.size() - sent);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    }
  }

  PtyScript script_;
  platform::posix::UniqueFd master_;
  platform::posix::UniqueFd slave_;  // kept open so the line never hangs up between clients
  std::string slavePath_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> requests_;
  std::thread thread_;
};

// A temporary port directory, set as $TALVEX_PORTS for the test's process.
class PortDirectory {
 public:
  PortDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/talvex-ports-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) != nullptr) path_ = buf.data();
    ::setenv("TALVEX_PORTS", path_.c_str(), 1);
  }
  ~PortDirectory() {
    for (const std::string& e : entries_) ::unlink(e.c_str());
    if (!path_.empty()) ::rmdir(path_.c_str());
    ::unsetenv("TALVEX_PORTS");
  }
  PortDirectory(const PortDirectory&) = delete;
  PortDirectory& operator=(const PortDirectory&) = delete;

  const std::string& path() const { return path_; }
  // Makes "com<number>" a link to `target`.
  bool Link(int number, const std::string& target) {
    const std::string entry = path_ + "/com" + std::to_string(number);
    entries_.push_back(entry);
    return ::symlink(target.c_str(), entry.c_str()) == 0;
  }
  // Makes "com<number>" a plain file.
  bool PlainFile(int number) {
    const std::string entry = path_ + "/com" + std::to_string(number);
    entries_.push_back(entry);
    const platform::posix::UniqueFd fd(::open(entry.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    return static_cast<bool>(fd);
  }

 private:
  std::string path_;
  std::vector<std::string> entries_;
};

}  // namespace talvex::test
