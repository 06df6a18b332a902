// talvex-reader-sim as a program: started with options, spoken to over the
// terminal it prints, stopped with signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "reader-sim/engine.h"

#ifndef SIM_BINARY
#error SIM_BINARY must name the talvex-reader-sim executable
#endif

namespace talvex::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using platform::posix::UniqueFd;

const Bytes kStartup = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x04, 0x61, 0xFF, 0xC0, 0x5A};
const Bytes kProbe = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x12, 0xFF, 0xEE};
const Bytes kFind = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x01, 0x22};
const Bytes kSelect = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x02, 0x21};
const Bytes kRead = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x30, 0x01, 0x32};

// Reads what `fd` delivers until `until` (or EOF).
std::string Drain(int fd, Clock::time_point until) {
  std::string s;
  char buf[512];
  while (Clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
  }
  return s;
}

class Sim {
 public:
  // uid >= 0: run as that user (the test must be root for it).
  explicit Sim(std::vector<std::string> args, int uid = -1) {
    // Close-on-exec: of the pipes, the program keeps its standard output and error.
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    out_.reset(out[0]);
    const UniqueFd outEnd(out[1]);
    if (pipe2(err, O_CLOEXEC) != 0) return;
    err_.reset(err[0]);
    const UniqueFd errEnd(err[1]);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (uid >= 0 &&
          (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) {
        _exit(126);
      }
      std::vector<char*> argv;
      std::string bin = SIM_BINARY;
      argv.push_back(bin.data());
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    fcntl(err_.get(), F_SETFL, fcntl(err_.get(), F_GETFL) | O_NONBLOCK);
  }

  ~Sim() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The first line on stdout: the terminal path ("" when none came).
  std::string ReadyLine() {
    std::string line;
    const auto until = Clock::now() + std::chrono::seconds(10);
    char c;
    while (Clock::now() < until) {
      pollfd p{out_.get(), POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(out_.get(), &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }

  // Waits for the exit; the exit status, or -1 on a signal or time-out.
  int Wait(int seconds = 10) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (Clock::now() < until) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void Signal(int sig) { kill(pid_, sig); }

  // Stops the simulator and returns once it has stopped; Resume goes on.
  void Pause() {
    int status = 0;
    kill(pid_, SIGSTOP);
    waitpid(pid_, &status, WUNTRACED);
  }
  void Resume() { kill(pid_, SIGCONT); }

  // Waits until standard error shows `first` and, after it, `then`; what it
  // read stays in log().
  bool WaitForLog(const std::string& first, const std::string& then, int seconds = 10) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (true) {
      const auto at = log_.find(first);
      if (at != std::string::npos && log_.find(then, at + first.size()) != std::string::npos) {
        return true;
      }
      if (Clock::now() >= until) return false;
      log_ += Drain(err_.get(), std::min(until, Clock::now() + std::chrono::milliseconds(100)));
    }
  }
  const std::string& log() const { return log_; }
  std::string Stdout() { return Drain(out_.get(), Clock::now() + std::chrono::milliseconds(300)); }
  std::string Stderr() { return Drain(err_.get(), Clock::now() + std::chrono::milliseconds(300)); }

 private:
  pid_t pid_ = -1;
  UniqueFd out_, err_;
  bool exited_ = false;
  std::string log_;  // standard error read by WaitForLog
};

// A client end as a serial port driver opens it: raw, exclusive, locked.
class Line {
 public:
  explicit Line(const std::string& path) {
    fd_.reset(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_) return;
    const int fd = fd_.get();
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    ioctl(fd, TIOCEXCL);
    locked_ = flock(fd, LOCK_EX | LOCK_NB) == 0;
    tcflush(fd, TCIOFLUSH);
  }
  bool ok() const { return opened() && locked_; }
  bool opened() const { return static_cast<bool>(fd_); }

  void Send(const Bytes& b) { ASSERT_EQ(write(fd_.get(), b.data(), b.size()), ssize_t(b.size())); }

  // Up to n bytes, waiting at most `ms` in all.
  Bytes Receive(std::size_t n, int ms = 3000) {
    Bytes got;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    std::uint8_t buf[4096];
    while (got.size() < n && Clock::now() < until) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t r = read(fd_.get(), buf, std::min(sizeof buf, n - got.size()));
      if (r > 0) got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

  // One exchange; the answer's status byte, or -1 without a whole answer.
  int Status(const Bytes& request) {
    Send(request);
    Bytes head = Receive(7);
    if (head.size() < 7) return -1;
    Bytes rest = Receive(head[5] * 256u + head[6]);
    if (rest.size() < 3) return -1;
    last_ = head;
    last_.insert(last_.end(), rest.begin(), rest.end());
    return rest[2];
  }
  const Bytes& last() const { return last_; }

 private:
  UniqueFd fd_;
  bool locked_ = false;
  Bytes last_;
};

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/talvex-simcli-XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~TempDir() {
    for (const char* name : {"com7", "file", "old"}) unlink((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(SimProgram, ServesTheWholeCardSequenceOnItsTerminal) {
  Sim sim({"--sample", "resident"});
  const std::string path = sim.ReadyLine();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  Line line(path);
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.Status(kStartup), 0x90);
  EXPECT_EQ(line.Status(kProbe), 0x90);
  EXPECT_EQ(line.Status(kFind), 0x9F);
  EXPECT_EQ(line.Status(kSelect), 0x90);
  ASSERT_EQ(line.Status(kRead), 0x90);
  const Bytes& answer = line.last();
  ASSERT_EQ(answer.size(), 1295u);
  const CardImage card = SampleCard(SampleKind::Resident);
  EXPECT_TRUE(std::equal(card.text, card.text + 256, answer.begin() + 14));
  EXPECT_TRUE(std::equal(card.photo, card.photo + 1024, answer.begin() + 270));
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimProgram, WithoutACardFindSelectAndReadFail) {
  Sim sim({"--no-card"});
  Line line(sim.ReadyLine());
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.Status(kProbe), 0x90);
  EXPECT_EQ(line.Status(kFind), 0x80);
  EXPECT_EQ(line.Status(kSelect), 0x81);
  EXPECT_EQ(line.Status(kRead), 0x80);
}

TEST(SimProgram, CardFileAndCountedFault) {
  Sim sim({"--card", std::string(SIM_CARDS_DIR) + "/foreign.ini", "--fault", "find:status:0x41:1",
           "--fault", "select:silence:1"});
  Line line(sim.ReadyLine());
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.Status(kFind), 0x41);
  EXPECT_EQ(line.Status(kFind), 0x9F);
  line.Send(kSelect);
  EXPECT_TRUE(line.Receive(7, 300).empty());  // the silent answer
  EXPECT_EQ(line.Status(kSelect), 0x90);
  ASSERT_EQ(line.Status(kRead), 0x90);
  EXPECT_EQ(line.last()[14 + 248], 'I');
}

TEST(SimProgram, GarbageOnTheLineIsSkipped) {
  Sim sim({});
  Line line(sim.ReadyLine());
  ASSERT_TRUE(line.ok());
  line.Send({0x00, 0x13, 0xAA, 0x55});
  EXPECT_EQ(line.Status(kFind), 0x9F);
}

TEST(SimProgram, ClientsOpenAndCloseTheLineAgainAndAgain) {
  Sim sim({});
  const std::string path = sim.ReadyLine();
  ASSERT_FALSE(path.empty());
  for (int i = 0; i < 40; ++i) {
    Line line(path);
    ASSERT_TRUE(line.ok()) << "open " << i;
    ASSERT_EQ(line.Status(kFind), 0x9F) << "open " << i;
    if (i % 10 == 0) {
      // While one client holds the line, another cannot lock it.
      Line second(path);
      EXPECT_FALSE(second.ok());
    }
  }
  // A client that leaves without reading its answer leaves nothing behind
  // for the next one. (As on a real line, a client that opens while the
  // answer is still on its way may see it: the first byte shows that the
  // whole answer is on the line.)
  {
    Line line(path);
    ASSERT_TRUE(line.ok());
    line.Send(kRead);
    ASSERT_EQ(line.Receive(1).size(), 1u);
  }
  Line line(path);
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.Status(kProbe), 0x90);
  EXPECT_EQ(line.last().size(), 11u);
}

// Two clients that overlap and close while the simulator is not reading
// reach it as one close, as inotify merges equal events. The line must still
// be seen empty, so that the rest of an answer that a later client leaves
// half sent is not sent on to the next client.
TEST(SimProgram, OverlappingClientsStillLeaveTheLineEmpty) {
  Sim sim({"--baud", "9600", "-v"});
  const std::string path = sim.ReadyLine();
  ASSERT_FALSE(path.empty());
  {
    Line first(path);
    ASSERT_TRUE(first.ok());
    ASSERT_EQ(first.Status(kProbe), 0x90);
    sim.Pause();
    Line second(path);
    EXPECT_FALSE(second.ok());
  }
  sim.Resume();
  {
    Line line(path);
    ASSERT_TRUE(line.ok());
    line.Send(kRead);
    ASSERT_EQ(line.Receive(1).size(), 1u);  // 1295 bytes at 9600 baud take 1.3 s
  }
  ASSERT_TRUE(sim.WaitForLog("read-base-message", "client closed the line")) << sim.log();
  Line next(path);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next.Status(kProbe), 0x90);
  EXPECT_EQ(next.last().size(), 11u);
}

// A pseudo-terminal keeps a client's exclusive flag after the client has
// closed it; an unprivileged server that sets it on every open must still get
// the port back on its next card read. (Root ignores the flag, so this runs
// the simulator and the client as an ordinary user.)
TEST(SimProgram, UnprivilegedClientReopensAfterExclusiveOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  constexpr int kNobody = 65534;
  Sim sim({}, kNobody);
  const std::string path = sim.ReadyLine();
  if (path.empty()) GTEST_SKIP() << "the simulator cannot run as an unprivileged user here";
  pid_t child = fork();
  if (child == 0) {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
    for (int i = 0; i < 25; ++i) {
      Line line(path);
      if (!line.ok()) _exit(10);
      if (line.Status(kFind) != 0x9F) _exit(11);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: an open failed, 11: an exchange failed";
}

TEST(SimProgram, LinkIsMadeAndRemovedOnSigterm) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string link = dir.path() + "/com7";
  ASSERT_EQ(symlink("/nonexistent/old-terminal", link.c_str()), 0);  // a stale link is replaced
  Sim sim({"--link", link});
  const std::string path = sim.ReadyLine();
  ASSERT_FALSE(path.empty());
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(path, target);
  {
    Line line(link);
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(line.Status(kProbe), 0x90);
  }
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(SimProgram, LinkRefusesToReplaceAFile) {
  TempDir dir;
  const std::string file = dir.path() + "/file";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("keep me", f);
  std::fclose(f);
  Sim sim({"--link", file});
  EXPECT_EQ(sim.ReadyLine(), "");
  EXPECT_EQ(sim.Wait(), 1);
  EXPECT_NE(sim.Stderr().find("not a symbolic link"), std::string::npos);
  struct stat st;
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 7);

  Sim noDir({"--link", dir.path() + "/missing/com1"});  // directories are not created
  EXPECT_EQ(noDir.ReadyLine(), "");
  EXPECT_EQ(noDir.Wait(), 1);
}

TEST(SimProgram, PacingSendsAtTheLineRate) {
  Sim sim({"--baud", "115200"});
  Line line(sim.ReadyLine());
  ASSERT_TRUE(line.ok());
  const auto start = Clock::now();
  ASSERT_EQ(line.Status(kRead), 0x90);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  // 1295 bytes of 10 bits at 115200 baud take 112.4 ms; the bounds only
  // tell pacing from none and from a stalled line.
  EXPECT_GE(ms, 100);
  EXPECT_LT(ms, 1500);
}

TEST(SimProgram, Sigusr1TakesTheCardOffAndPutsItBack) {
  Sim sim({"--sample", "hmt"});
  Line line(sim.ReadyLine());
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.Status(kFind), 0x9F);
  auto waitFor = [&](int status) {
    for (int i = 0; i < 100; ++i) {
      if (line.Status(kFind) == status) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  sim.Signal(SIGUSR1);
  EXPECT_TRUE(waitFor(0x80));
  sim.Signal(SIGUSR1);
  EXPECT_TRUE(waitFor(0x9F));
  ASSERT_EQ(line.Status(kRead), 0x90);
  EXPECT_EQ(line.last()[14 + 248], 'J');
}

TEST(SimProgram, VerboseLogsEachFrame) {
  Sim sim({"-v"});
  {
    Line line(sim.ReadyLine());
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(line.Status(kSelect), 0x90);
  }
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  const std::string log = sim.Stderr();
  EXPECT_NE(log.find("select-card (20 02): status 90, 11 bytes answered"), std::string::npos)
      << log;
  EXPECT_NE(log.find("> AA AA AA 96 69 00 03 20 02 21"), std::string::npos) << log;
}

TEST(SimProgram, CommandLineMistakesAndInformation) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* mentions;  // on stderr
  } cases[] = {
      {{"--bogus"}, 2, "unknown option"},
      {{"--fault", "read:garble"}, 2, "unknown fault"},
      {{"--sample", "passport"}, 2, "unknown sample"},
      {{"--no-card", "--sample", "hmt"}, 2, "exclude each other"},
      {{"--baud", "fast"}, 2, "bad baud rate"},
      {{"--random-faults", "1:101"}, 2, "bad --random-faults"},
      {{"--link"}, 2, "needs a value"},
      {{"--card", "/nonexistent/card.ini"}, 1, "cannot open the card file"},
  };
  for (const Case& c : cases) {
    Sim sim(c.args);
    EXPECT_EQ(sim.Wait(), c.exit) << c.args[0];
    EXPECT_NE(sim.Stderr().find(c.mentions), std::string::npos) << c.args[0];
  }
  Sim help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  const std::string text = help.Stdout();
  for (const char* option : {"--link", "--card", "--sample", "--no-card", "--fault",
                             "--random-faults", "--baud", "--verbose", "--version"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }
  Sim version({"--version"});
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.Stdout().rfind("talvex-reader-sim ", 0), 0u);
}

TEST(SimProgram, RandomFaultsSpoilSomeAnswers) {
  Sim sim({"--random-faults", "42:50"});
  Line line(sim.ReadyLine());
  ASSERT_TRUE(line.ok());
  int good = 0, spoiled = 0;
  for (int i = 0; i < 30; ++i) {
    line.Send(kSelect);
    Bytes a = line.Receive(11, 150);
    if (a.size() == 11 && a[0] == 0xAA && a[9] == 0x90 && XorBytes(&a[5], 6) == 0) {
      ++good;
    } else {
      ++spoiled;
    }
    line.Receive(4096, 30);  // whatever else a spoiled answer brought
  }
  EXPECT_GT(good, 3);
  EXPECT_GT(spoiled, 3);
}

}  // namespace
}  // namespace talvex::sim
