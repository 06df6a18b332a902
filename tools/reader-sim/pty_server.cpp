#include "reader-sim/pty_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace talvex::sim {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (std::uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X ", v);
    s += b;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + strerror(errno);
}

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

timespec ToTimespec(long long ns) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1000000000LL);
  t.tv_nsec = static_cast<long>(ns % 1000000000LL);
  return t;
}

// Whether some process holds a flock() lock on the terminal `fd` is open
// on, as /proc/locks lists it ("... FLOCK ... PID MAJ:MIN:INODE ..."). When
// that cannot be told, a lock is assumed.
bool TerminalLocked(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return true;
  char node[64];
  std::snprintf(node, sizeof node, " %02x:%02x:%lu ", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  if (!locks) return true;
  for (std::string line; std::getline(locks, line);) {
    line += ' ';
    if (line.find(" FLOCK ") != std::string::npos && line.find(node) != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

PtyServer::PtyServer(Engine* engine, Options options) : engine_(engine), options_(options) {}

PtyServer::~PtyServer() = default;

bool PtyServer::Open(std::string* error) {
  master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master_) {
    *error = Errno("posix_openpt");
    return false;
  }
  if (grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
    *error = Errno("grantpt/unlockpt");
    return false;
  }
  char name[256];
  if (ptsname_r(master_.get(), name, sizeof name) != 0) {
    *error = Errno("ptsname");
    return false;
  }
  slavePath_ = name;
  // Holding the slave open ourselves keeps the line from hanging up each
  // time a client closes it (the service opens the port for every read).
  heldSlave_.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!heldSlave_) {
    *error = Errno("open terminal");
    return false;
  }
  // Both ends raw: no echo (it would send our answers back to us), no line
  // editing, no character translation.
  MakeRaw(heldSlave_.get());
  MakeRaw(master_.get());
  fcntl(master_.get(), F_SETFL, fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
  // Clients opening and closing the line, seen as inotify events on the
  // terminal node. Our own descriptor was opened before the watch exists.
  watch_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch_ || inotify_add_watch(watch_.get(), name, IN_OPEN | IN_CLOSE) < 0) {
    *error = Errno("inotify");
    return false;
  }
  engine_->SetObserver([this](const ExchangeRecord& r) { Log(r); });
  return true;
}

void PtyServer::Log(const ExchangeRecord& r) const {
  if (!options_.verbose) return;
  char head[160];
  const char* name = r.command ? CommandName(*r.command)
                               : (r.requestChecksumOk ? "unknown-command" : "bad-checksum");
  std::snprintf(head, sizeof head, "%s (%02X %02X): status %02X, %zu bytes answered%s", name,
                r.commandByte, r.parameter, r.status, r.answerSize,
                r.faulted ? (r.randomFault ? " [random fault]" : " [fault]") : "");
  std::string line = std::string("reader-sim: ") + head + "\n  > " + Hex(r.request) + "\n  < " +
                     (r.answerHead.empty() ? "(nothing)" : Hex(r.answerHead)) +
                     (r.answerSize > r.answerHead.size() ? " ..." : "") + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void PtyServer::ClientsGone(bool drainLine) {
  // Also for a client that set TIOCEXCL and closed without a word.
  ioctl(heldSlave_.get(), TIOCNXCL);
  // Answers the client left unread are of no use to the next one. Only the
  // queue towards the clients is flushed: the other one may already hold the
  // first request of a client that opened the line in the meantime.
  tcflush(heldSlave_.get(), TCIFLUSH);
  std::vector<std::uint8_t> drained;
  if (drainLine) {
    // No client had opened when the close was seen: what waits on our side
    // is the closed client's, and answering it would hand the next client a
    // stale answer.
    std::uint8_t buf[4096];
    for (ssize_t n; (n = read(master_.get(), buf, sizeof buf)) > 0;)
      drained.insert(drained.end(), buf, buf + n);
    // A client that opened while we drained may have sent its first request
    // already. Its open is queued on the watch before any byte it writes, so
    // with nothing queued there every drained byte is the closed client's;
    // otherwise the bytes are kept, so that the new client's request is
    // answered rather than lost.
    int queued = 0;
    if (ioctl(watch_.get(), FIONREAD, &queued) != 0 || queued == 0) drained.clear();
  }
  engine_->ResetStream();
  out_.clear();
  blocked_ = false;
  outSent_ = 0;
  if (options_.verbose) std::fputs("reader-sim: client closed the line\n", stderr);
  if (!drained.empty()) TakeRequestBytes(drained.data(), drained.size());
}

void PtyServer::ReadRequests() {
  std::uint8_t buf[4096];
  while (true) {
    ssize_t n = read(master_.get(), buf, sizeof buf);
    if (n <= 0) return;  // EAGAIN, or EIO while no side is open
    // A client's open is queued on the watch before any byte it writes, but
    // poll may report the bytes before the events: the last client's close,
    // the next one's open, then its request. Answered first, the request
    // would lose its answer to the close handled after it (which flushes
    // the line towards the clients). So every event queued up to this read
    // is handled before the bytes; when those events leave the line without
    // a client, the bytes were the closed client's.
    if (ReadWatchEvents()) continue;
    TakeRequestBytes(buf, static_cast<std::size_t>(n));
  }
}

void PtyServer::TakeRequestBytes(const std::uint8_t* bytes, std::size_t size) {
  const bool wasIdle = outSent_ == out_.size();
  if (wasIdle) {
    out_.clear();
    outSent_ = 0;
  }
  engine_->Feed(bytes, size, &out_);
  // A pseudo-terminal keeps the exclusive flag (TIOCEXCL) of a client
  // after that client has closed it, and then refuses every unprivileged
  // open, even the same client's next one. Clearing it as soon as the
  // client talks, rather than when we see it close, leaves no moment in
  // which a quick reopen fails. Clients that want the line to themselves
  // still have flock(), which the terminal does not keep.
  ioctl(heldSlave_.get(), TIOCNXCL);
  if (wasIdle && outSent_ < out_.size()) {
    burstStart_ = std::chrono::steady_clock::now();
    burstSent_ = 0;
  }
}

bool PtyServer::WriteDue(std::chrono::steady_clock::time_point now) {
  std::size_t allowed = out_.size() - outSent_;
  if (options_.baud > 0) {
    // Byte k has left the line when k + 1 byte times have passed.
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - burstStart_).count();
    const auto onLine = static_cast<std::size_t>(elapsed * static_cast<long long>(options_.baud) /
                                                 10 / 1000000000LL);
    allowed = onLine > burstSent_ ? std::min(allowed, onLine - burstSent_) : 0;
  }
  if (allowed == 0) return true;
  ssize_t n = write(master_.get(), out_.data() + outSent_, allowed);
  blocked_ = n < 0 && errno == EAGAIN;  // the client is not reading: wait for room
  if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
  outSent_ += static_cast<std::size_t>(n);
  burstSent_ += static_cast<std::size_t>(n);
  if (outSent_ == out_.size()) {
    out_.clear();
    outSent_ = 0;
  }
  return true;
}

long long PtyServer::NanosecondsToNextByte() const {
  const long long byteNs = 10LL * 1000000000LL / options_.baud;
  const auto due = burstStart_ + std::chrono::nanoseconds(byteNs * (burstSent_ + 1));
  const auto left = due - std::chrono::steady_clock::now();
  return std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
}

bool PtyServer::ReadWatchEvents() {
  bool leftEmpty = false;
  alignas(inotify_event) char events[4096];
  const ssize_t n = read(watch_.get(), events, sizeof events);
  for (ssize_t at = 0; at < n;) {
    const auto* e = reinterpret_cast<const inotify_event*>(events + at);
    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    if (e->mask & IN_OPEN) ++clients_;
    if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
      // The closed client's exclusive flag goes with it, also when the
      // count is off: inotify merges two closes that follow each other
      // unread into one event, so a count can stay above the true one.
      ioctl(heldSlave_.get(), TIOCNXCL);
      // A close that leaves a client counted is checked: clients keep the
      // line locked while they use it (the service does, on every port it
      // opens), so a line that no one has locked any more has lost its last
      // client in a merged close.
      if (--clients_ <= 0 || !TerminalLocked(heldSlave_.get())) {
        clients_ = 0;
        // Drain only when no later event of this batch is an open.
        bool reopened = false;
        for (ssize_t k = at; k < n;) {
          const auto* later = reinterpret_cast<const inotify_event*>(events + k);
          if (later->mask & IN_OPEN) reopened = true;
          k += static_cast<ssize_t>(sizeof(inotify_event) + later->len);
        }
        ClientsGone(!reopened);
        leftEmpty = !reopened;
      }
    }
  }
  return leftEmpty;
}

bool PtyServer::Run(int wakeFd, bool (*onWake)(unsigned char, void*), void* context,
                    std::string* error) {
  while (true) {
    const bool pending = outSent_ < out_.size();
    pollfd fds[3] = {{wakeFd, POLLIN, 0},
                     {watch_.get(), POLLIN, 0},
                     {master_.get(), static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0}};
    timespec wait{};
    timespec* timeout = nullptr;
    if (pending && options_.baud > 0 && !blocked_) {
      // Sleep until the next byte is due; only then ask for POLLOUT.
      fds[2].events = POLLIN;
      wait = ToTimespec(NanosecondsToNextByte());
      timeout = &wait;
    }
    int r = ppoll(fds, 3, timeout, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      *error = Errno("poll");
      return false;
    }
    if (fds[0].revents & POLLIN) {
      unsigned char bytes[16];
      ssize_t n = read(wakeFd, bytes, sizeof bytes);
      for (ssize_t i = 0; i < n; ++i) {
        if (!onWake(bytes[i], context)) return true;
      }
    }
    if (fds[1].revents & POLLIN) ReadWatchEvents();
    if (fds[2].revents & POLLIN) ReadRequests();
    if (outSent_ < out_.size() && !WriteDue(std::chrono::steady_clock::now())) {
      *error = Errno("write");
      return false;
    }
  }
}

}  // namespace talvex::sim
