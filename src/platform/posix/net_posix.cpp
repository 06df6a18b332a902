// Linux sockets: one poll() over the event table. Readiness is level-triggered,
// so a reset event is raised again by the next wait while bytes are still
// waiting on the socket.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "platform/net.h"
#include "platform/net_testing.h"
#include "platform/posix/poll_event.h"
#include "platform/posix/unique_fd.h"
#include "platform/socket_address.h"

namespace talvex::platform {
namespace {

using posix::PollEvent;
using posix::UniqueFd;

constexpr int kMaxWaitEntries = 64;

int Fd(Socket s) {
  return static_cast<int>(s);
}

std::int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll() on one descriptor for `events`, restarted after signals with the
// time that is left. Returns poll's result; *revents what it reported.
int PollOne(int fd, short events, int timeoutMs, short* revents) {
  const std::int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    pollfd p{fd, events, 0};
    std::int64_t left = deadline - MonotonicMs();
    if (left < 0) left = 0;
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    *revents = p.revents;
    return r;
  }
}

class PosixNetwork final : public Network {
 public:
  bool Startup() override { return true; }
  void Cleanup() override {}

  ListenStatus OpenListener(const IpAddress& address, std::uint16_t port, Socket* out) override {
    *out = kInvalidSocket;
    const int family = address.v6 ? AF_INET6 : AF_INET;
    UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd) {
      return errno == EAFNOSUPPORT ? ListenStatus::kUnavailable : ListenStatus::kSocketFailed;
    }
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.v6) {
      // The IPv4 listener is a socket of its own; this one takes IPv6 only.
      setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    int size = 0;
    const sockaddr_storage addr = ToSocketAddress(address, port, &size);
    const int r =
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), static_cast<socklen_t>(size));
    if (r != 0) {
      const int error = errno;
      fd.reset();
      // ::1 is missing where IPv6 is switched off (EADDRNOTAVAIL).
      return error == EADDRNOTAVAIL || error == EAFNOSUPPORT ? ListenStatus::kUnavailable
                                                             : ListenStatus::kBindFailed;
    }
    if (listen(fd.get(), SOMAXCONN) != 0) return ListenStatus::kListenFailed;
    *out = static_cast<Socket>(fd.release());
    return ListenStatus::kListening;
  }

  AcceptStatus TryAccept(Socket listener, Socket* out) override {
    *out = kInvalidSocket;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      // A response leaves in several sends with nothing to wait for in
      // between; with Nagle's algorithm the later ones would sit until the
      // client's delayed acknowledgement (about 40 ms on Linux).
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      *out = static_cast<Socket>(fd);
      return AcceptStatus::kAccepted;
    }
    switch (errno) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        return AcceptStatus::kNonePending;
      // Linux hands the errors of a connection that failed before it was
      // taken to accept(); they concern that connection only.
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case ENETDOWN:
      case ENOPROTOOPT:
      case EHOSTDOWN:
      case ENONET:
      case EHOSTUNREACH:
      case EOPNOTSUPP:
      case ENETUNREACH:
      case EPERM:  // a firewall rule refused it
        return AcceptStatus::kTransient;
      case EMFILE:
      case ENFILE:
        return AcceptStatus::kNoDescriptor;
      case ENOBUFS:
      case ENOMEM:
        return AcceptStatus::kNoMemory;
      default:
        return AcceptStatus::kFailed;
    }
  }

  void CloseSocket(Socket s) override {
    if (s != kInvalidSocket) UniqueFd(Fd(s)).reset();
  }

  OwnedNetEvent CreateEvent() override {
    return OwnedNetEvent(new (std::nothrow) PollEvent());
  }

  bool SelectEvents(Socket s, NetEvent event, unsigned mask) override {
    auto* e = static_cast<PollEvent*>(event);
    if (e == nullptr || s == kInvalidSocket) return false;
    const int flags = fcntl(Fd(s), F_GETFL);
    if (flags < 0 || fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) < 0) return false;
    short interest = 0;
    if (mask & (kNetRead | kNetAccept)) interest |= POLLIN;
    if (mask & kNetClose) interest |= POLLRDHUP;
    if (mask == kNetAccept && e->accepts && e->fd >= 0 && e->fd != Fd(s)) {
      // One more listener on the same event.
      if (e->moreCount >= PollEvent::kMaxMore) return false;
      e->moreFds[e->moreCount++] = Fd(s);
      return true;
    }
    e->accepts = mask == kNetAccept;
    e->moreCount = 0;
    e->fd = Fd(s);
    e->interest = interest;
    e->reported = 0;
    return true;
  }

  int WaitAnyFor(const NetEvent* events, int count, int timeoutMs) override {
    if (count < 1 || count > kMaxWaitEntries) return -1;
    constexpr int kMaxFds = kMaxWaitEntries + PollEvent::kMaxMore;
    pollfd fds[kMaxFds];
    int index[kMaxFds];
    int n = 0;
    for (int i = 0; i < count; ++i) {
      auto* e = static_cast<PollEvent*>(events[i]);
      if (e == nullptr || e->fd < 0 || e->interest == 0) continue;
      fds[n] = pollfd{e->fd, e->interest, 0};
      index[n] = i;
      ++n;
      for (int k = 0; k < e->moreCount && n < kMaxFds; ++k) {
        fds[n] = pollfd{e->moreFds[k], e->interest, 0};
        index[n] = i;
        ++n;
      }
    }
    if (n == 0 && timeoutMs < 0) return -1;  // nothing could ever be signalled
    const std::int64_t deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
      std::int64_t left = deadline - NowMs();
      if (left < 0) left = 0;
      const int r = poll(fds, static_cast<nfds_t>(n), timeoutMs < 0 ? -1 : static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r == 0 && timeoutMs >= 0) return kWaitTimedOut;
      if (r <= 0) return -1;
      break;
    }
    for (int k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      auto* e = static_cast<PollEvent*>(events[index[k]]);
      e->reported = fds[k].revents;
      if (e->autoReset) {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t got = read(e->fd, &value, sizeof value);
        e->reported = 0;
      }
      return index[k];
    }
    return -1;
  }

  bool EnumEvents(Socket s, NetEvent event, NetEventState* state) override {
    auto* e = static_cast<PollEvent*>(event);
    if (e == nullptr || s == kInvalidSocket || e->fd != Fd(s)) return false;
    const short r = e->reported;
    e->reported = 0;
    if (r & POLLNVAL) return false;
    state->closed = (r & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    state->readable = (r & POLLIN) != 0;
    return true;
  }

  void ResetEvent(NetEvent event) override {
    if (auto* e = static_cast<PollEvent*>(event)) e->reported = 0;
  }

  IoStatus Receive(Socket s, std::uint8_t* data, std::size_t size, std::size_t* count) override {
    *count = 0;
    for (;;) {
      const ssize_t r = recv(Fd(s), data, size, 0);
      if (r > 0) {
        *count = static_cast<std::size_t>(r);
        return IoStatus::kDone;
      }
      if (r == 0) return size == 0 ? IoStatus::kDone : IoStatus::kPeerClosed;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::kWouldBlock;
      return IoStatus::kFailed;
    }
  }

  IoStatus Send(Socket s, const std::uint8_t* data, std::size_t size, std::size_t* count) override {
    *count = 0;
    for (;;) {
      // MSG_NOSIGNAL: a peer that went away must never raise SIGPIPE.
      const ssize_t r = send(Fd(s), data, size, MSG_NOSIGNAL);
      if (r >= 0) {
        *count = static_cast<std::size_t>(r);
        return IoStatus::kDone;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::kWouldBlock;
      return IoStatus::kFailed;
    }
  }

  WaitStatus WaitReadable(Socket s, int timeoutMs) override {
    // select() counts a socket with an error or a hang-up as readable.
    return WaitFor(s, POLLIN, POLLIN | POLLERR | POLLHUP | POLLRDHUP, timeoutMs);
  }

  WaitStatus WaitWritable(Socket s, int timeoutMs) override {
    return WaitFor(s, POLLOUT, POLLOUT | POLLERR | POLLHUP, timeoutMs);
  }

  WaitStatus WaitWritableOrStop(Socket s, int timeoutMs, NetEvent stop) override {
    auto* e = static_cast<PollEvent*>(stop);
    if (e == nullptr || e->fd < 0) return WaitWritable(s, timeoutMs);
    const std::int64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
      // The stop signal is only looked at, not drained: the loop's own wait
      // still finds it raised.
      pollfd p[2] = {{Fd(s), POLLOUT, 0}, {e->fd, POLLIN, 0}};
      std::int64_t left = deadline - NowMs();
      if (left < 0) left = 0;
      const int r = poll(p, 2, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return WaitStatus::kFailed;
      if (r == 0) return WaitStatus::kTimeout;
      if (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) return WaitStatus::kReady;
      if (p[1].revents & POLLIN) return WaitStatus::kStopped;
      return WaitStatus::kNotSet;
    }
  }

  std::int64_t NowMs() override {
    return MonotonicMs();
  }

  bool PeerAddress(Socket s, IpAddress* address, std::uint16_t* port) override {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(Fd(s), reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    return FromSocketAddress(peer, address, port);
  }

  bool LimitSendBuffer(Socket s, int bytes) override {
    return setsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
  }

  bool PendingError(Socket s, int* error) override {
    int value = 0;
    socklen_t len = sizeof value;
    if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &value, &len) != 0 || len != sizeof value) {
      return false;
    }
    *error = value;
    return true;
  }

 private:
  static WaitStatus WaitFor(Socket s, short events, short readyBits, int timeoutMs) {
    short revents = 0;
    const int r = PollOne(Fd(s), events, timeoutMs, &revents);
    if (r < 0) return WaitStatus::kFailed;
    if (r == 0) return WaitStatus::kTimeout;
    return (revents & readyBits) ? WaitStatus::kReady : WaitStatus::kNotSet;
  }
};

class EventFdStopSignal final : public StopSignal {
 public:
  explicit EventFdStopSignal(UniqueFd&& fd) : fd_(std::move(fd)) {
    event_.fd = fd_.get();
    event_.interest = POLLIN;
    event_.autoReset = true;
  }

  void Set() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = write(event_.fd, &one, sizeof one);
  }

  NetEvent Event() override { return &event_; }

 private:
  UniqueFd fd_;
  PollEvent event_;
};

}  // namespace

Network& SystemNetwork() {
  static PosixNetwork network;
  return network;
}

std::unique_ptr<StopSignal> CreateStopSignal() {
  UniqueFd fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) return nullptr;
  return std::unique_ptr<StopSignal>(new (std::nothrow) EventFdStopSignal(std::move(fd)));
}

bool CreateSocketPair(Socket* first, Socket* second) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  *first = fds[0];
  *second = fds[1];
  return true;
}

Socket ConnectLoopback(std::uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) return kInvalidSocket;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int r;
  do {
    r = connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return kInvalidSocket;
  return static_cast<Socket>(fd.release());
}

bool LocalPort(Socket s, std::uint16_t* port) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
  *port = ntohs(addr.sin_port);
  return true;
}

bool SetSendBufferSize(Socket socket, int bytes) {
  return setsockopt(Fd(socket), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

Socket OpenStreamSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? kInvalidSocket : static_cast<Socket>(fd);
}

bool Bind(Socket s, std::uint16_t port) {
  // Without it a restart would fail to bind while old connections linger in
  // TIME_WAIT; on Linux it never lets a second listener share the port.
  const int on = 1;
  setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(Fd(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool Listen(Socket s) {
  return listen(Fd(s), SOMAXCONN) == 0;
}

Socket Accept(Socket listener) {
  Socket s = kInvalidSocket;
  for (;;) {
    const AcceptStatus status = SystemNetwork().TryAccept(listener, &s);
    if (status != AcceptStatus::kTransient || errno != EINTR) return s;
  }
}

}  // namespace talvex::platform
