// Windows Sockets 2 with event objects. A NetEvent is a small record holding
// a WSAEVENT (manual reset; WSAEnumNetworkEvents and WSAResetEvent clear it)
// and the socket tied to it; the stop signal's record holds an auto-reset
// kernel event, which the wait that reports it clears.
//
// Winsock signals FD_READ and FD_ACCEPT once and re-enables them only in the
// next recv or accept. The loop clears a client's event after reading one
// request, and the listener's after one accept: a second request already in
// the socket (or a second pending connection) would then never be signalled
// again. ResetEvent therefore looks at the socket, and raises the event again
// while it is still readable, as the level-triggered Linux wait does.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "platform/net.h"
#include "platform/net_testing.h"
#include "platform/socket_address.h"
#include "platform/win32/unique_handle.h"

namespace talvex::platform {
namespace {

constexpr int kMaxWaitEntries = WSA_MAXIMUM_WAIT_EVENTS;  // 64

SOCKET Sock(Socket s) {
  return static_cast<SOCKET>(s);
}

// The owner of one Winsock socket.
struct SocketTraits {
  using Value = SOCKET;
  static SOCKET Empty() noexcept { return INVALID_SOCKET; }
  static bool Held(SOCKET socket) noexcept { return socket != INVALID_SOCKET; }
  static void Close(SOCKET socket) noexcept { closesocket(socket); }
};
using UniqueSocket = UniqueResource<SocketTraits>;

// The stop signal's record borrows its event; the ones CreateEvent makes are
// OwnedEventRecords, which close theirs.
struct EventRecord : NetEventObject {
  HANDLE handle = nullptr;
  SOCKET socket = INVALID_SOCKET;  // none for the stop signal
  // Further listeners that share a listener's event.
  static constexpr int kMaxMore = 7;
  SOCKET more[kMaxMore] = {};
  int moreCount = 0;
  bool accepts = false;
};

struct OwnedEventRecord final : EventRecord {
  ~OwnedEventRecord() override {
    if (handle != nullptr) WSACloseEvent(handle);
  }
};

EventRecord* Record(NetEvent event) {
  return static_cast<EventRecord*>(event);
}

// Readable without waiting: data, a pending connection, or a closed peer.
bool ReadableNow(SOCKET s) {
  if (s == INVALID_SOCKET) return false;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval zero{0, 0};
  return select(0, &set, nullptr, nullptr, &zero) == 1;
}

int ClampLength(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

WaitStatus WaitFor(Socket s, bool forWriting, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Sock(s), &set);
  if (timeoutMs < 0) timeoutMs = 0;
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  // select() counts a socket with an error or a closed peer as readable.
  const int r =
      forWriting ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
  if (r == SOCKET_ERROR) return WaitStatus::kFailed;
  if (r == 0) return WaitStatus::kTimeout;
  return FD_ISSET(Sock(s), &set) ? WaitStatus::kReady : WaitStatus::kNotSet;
}

// The sockets layer stays usable for the whole life of the process, so that
// the free helpers below (and code that never calls Startup) work too.
// WSAStartup counts its callers: Startup and Cleanup stay balanced on top.
class ProcessWinsock {
 public:
  ProcessWinsock() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~ProcessWinsock() {
    if (started_) WSACleanup();
  }
  ProcessWinsock(const ProcessWinsock&) = delete;
  ProcessWinsock& operator=(const ProcessWinsock&) = delete;

 private:
  bool started_ = false;
};

void EnsureWinsock() {
  static ProcessWinsock winsock;
}

class WinsockNetwork final : public Network {
 public:
  bool Startup() override {
    EnsureWinsock();
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  void Cleanup() override { WSACleanup(); }

  ListenStatus OpenListener(const IpAddress& address, std::uint16_t port, Socket* out) override {
    EnsureWinsock();
    *out = kInvalidSocket;
    UniqueSocket owned(WSASocketW(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP,
                                  nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
    if (!owned) {
      return WSAGetLastError() == WSAEAFNOSUPPORT ? ListenStatus::kUnavailable
                                                  : ListenStatus::kSocketFailed;
    }
    const SOCKET s = owned.get();
    // Only this program may take the port: no other socket can bind over it.
    const BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    if (address.v6) {
      setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    int size = 0;
    const sockaddr_storage addr = ToSocketAddress(address, port, &size);
    const int r = bind(s, reinterpret_cast<const sockaddr*>(&addr), size);
    if (r != 0) {
      const int error = WSAGetLastError();
      owned.reset();
      return error == WSAEADDRNOTAVAIL || error == WSAEAFNOSUPPORT ? ListenStatus::kUnavailable
                                                                   : ListenStatus::kBindFailed;
    }
    if (listen(s, SOMAXCONN) != 0) return ListenStatus::kListenFailed;
    *out = static_cast<Socket>(owned.release());
    return ListenStatus::kListening;
  }

  AcceptStatus TryAccept(Socket listener, Socket* out) override {
    *out = kInvalidSocket;
    sockaddr_storage peer{};
    int len = sizeof peer;
    const SOCKET s = accept(Sock(listener), reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == INVALID_SOCKET) {
      switch (WSAGetLastError()) {
        case WSAEWOULDBLOCK:
          return AcceptStatus::kNonePending;
        case WSAECONNRESET:  // the peer gave up before it was taken
        case WSAEINTR:
        case WSAEINPROGRESS:
        case WSAENETDOWN:
          return AcceptStatus::kTransient;
        case WSAEMFILE:
          return AcceptStatus::kNoDescriptor;
        case WSAENOBUFS:
          return AcceptStatus::kNoMemory;
        default:
          return AcceptStatus::kFailed;
      }
    }
    // A response leaves in several sends right after each other; with Nagle's
    // algorithm the later ones would wait for the client's delayed
    // acknowledgement (up to 200 ms on Windows).
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    *out = static_cast<Socket>(s);
    return AcceptStatus::kAccepted;
  }

  void CloseSocket(Socket s) override {
    if (s != kInvalidSocket) UniqueSocket(Sock(s)).reset();
  }

  OwnedNetEvent CreateEvent() override {
    std::unique_ptr<OwnedEventRecord> record(new (std::nothrow) OwnedEventRecord());
    if (!record) return nullptr;
    record->handle = WSACreateEvent();
    if (record->handle == WSA_INVALID_EVENT) {
      record->handle = nullptr;  // nothing to close
      return nullptr;
    }
    return record;
  }

  bool SelectEvents(Socket s, NetEvent event, unsigned mask) override {
    EventRecord* record = Record(event);
    if (record == nullptr || s == kInvalidSocket) return false;
    long events = 0;
    if (mask & kNetRead) events |= FD_READ;
    if (mask & kNetAccept) events |= FD_ACCEPT;
    if (mask & kNetClose) events |= FD_CLOSE;
    const bool another = mask == kNetAccept && record->accepts &&
                         record->socket != INVALID_SOCKET && record->socket != Sock(s);
    if (another && record->moreCount >= EventRecord::kMaxMore) return false;
    // Also makes the socket non-blocking.
    if (WSAEventSelect(Sock(s), record->handle, events) != 0) return false;
    if (another) {
      record->more[record->moreCount++] = Sock(s);
      return true;
    }
    record->accepts = mask == kNetAccept;
    record->moreCount = 0;
    record->socket = Sock(s);
    return true;
  }

  int WaitAnyFor(const NetEvent* events, int count, int timeoutMs) override {
    if (count < 1 || count > kMaxWaitEntries) return -1;
    HANDLE handles[kMaxWaitEntries];
    int index[kMaxWaitEntries];
    DWORD n = 0;
    for (int i = 0; i < count; ++i) {
      if (events[i] == nullptr) continue;
      handles[n] = Record(events[i])->handle;
      index[n] = i;
      ++n;
    }
    if (n == 0) {
      if (timeoutMs < 0) return -1;  // nothing could ever be signalled
      Sleep(static_cast<DWORD>(timeoutMs));
      return kWaitTimedOut;
    }
    // The lowest signalled entry is reported, as the table order requires.
    const DWORD r = WSAWaitForMultipleEvents(
        n, handles, FALSE, timeoutMs < 0 ? WSA_INFINITE : static_cast<DWORD>(timeoutMs), FALSE);
    if (r == WSA_WAIT_TIMEOUT) return kWaitTimedOut;
    if (r >= WSA_WAIT_EVENT_0 + n) return -1;
    return index[r - WSA_WAIT_EVENT_0];
  }

  bool EnumEvents(Socket s, NetEvent event, NetEventState* state) override {
    EventRecord* record = Record(event);
    if (record == nullptr || s == kInvalidSocket || record->socket != Sock(s)) return false;
    WSANETWORKEVENTS ne{};
    if (WSAEnumNetworkEvents(Sock(s), record->handle, &ne) != 0) return false;
    state->readable = (ne.lNetworkEvents & (FD_READ | FD_ACCEPT)) != 0;
    state->closed = (ne.lNetworkEvents & FD_CLOSE) != 0;
    if (!state->readable && !state->closed && ReadableNow(Sock(s))) {
      // Raised again by ResetEvent: what the socket holds now decides.
      u_long waiting = 0;
      if (ioctlsocket(Sock(s), FIONREAD, &waiting) == 0 && waiting > 0)
        state->readable = true;
      else
        state->closed = true;  // readable with nothing to read: the peer is gone
    }
    return true;
  }

  void ResetEvent(NetEvent event) override {
    EventRecord* record = Record(event);
    if (record == nullptr) return;
    WSAResetEvent(record->handle);
    bool readable = ReadableNow(record->socket);
    for (int k = 0; k < record->moreCount && !readable; ++k)
      readable = ReadableNow(record->more[k]);
    if (readable) WSASetEvent(record->handle);
  }

  IoStatus Receive(Socket s, std::uint8_t* data, std::size_t size, std::size_t* count) override {
    *count = 0;
    const int r = recv(Sock(s), reinterpret_cast<char*>(data), ClampLength(size), 0);
    if (r > 0) {
      *count = static_cast<std::size_t>(r);
      return IoStatus::kDone;
    }
    if (r == 0) return size == 0 ? IoStatus::kDone : IoStatus::kPeerClosed;
    return WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }

  IoStatus Send(Socket s, const std::uint8_t* data, std::size_t size, std::size_t* count) override {
    *count = 0;
    const int r = send(Sock(s), reinterpret_cast<const char*>(data), ClampLength(size), 0);
    if (r >= 0) {
      *count = static_cast<std::size_t>(r);
      return IoStatus::kDone;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }

  WaitStatus WaitReadable(Socket s, int timeoutMs) override { return WaitFor(s, false, timeoutMs); }
  WaitStatus WaitWritable(Socket s, int timeoutMs) override { return WaitFor(s, true, timeoutMs); }

  WaitStatus WaitWritableOrStop(Socket s, int timeoutMs, NetEvent stop) override {
    if (stop == nullptr) return WaitFor(s, true, timeoutMs);
    // select() cannot wait on an event: it waits in short slices, and the
    // stop event is looked at between them. Seeing it clears the auto-reset
    // event, so it is raised again for the loop's own wait.
    constexpr int kSliceMs = 50;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
      if (WaitForSingleObject(Record(stop)->handle, 0) == WAIT_OBJECT_0) {
        SetEvent(Record(stop)->handle);
        return WaitStatus::kStopped;
      }
      const ULONGLONG now = GetTickCount64();
      const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
      const WaitStatus status = WaitFor(s, true, left < kSliceMs ? left : kSliceMs);
      if (status != WaitStatus::kTimeout || left <= kSliceMs) return status;
    }
  }

  std::int64_t NowMs() override { return static_cast<std::int64_t>(GetTickCount64()); }

  bool PeerAddress(Socket s, IpAddress* address, std::uint16_t* port) override {
    sockaddr_storage peer{};
    int len = sizeof peer;
    if (getpeername(Sock(s), reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    return FromSocketAddress(peer, address, port);
  }

  bool LimitSendBuffer(Socket s, int bytes) override {
    return setsockopt(Sock(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
  }

  bool PendingError(Socket s, int* error) override {
    int value = 0;
    int len = sizeof value;
    if (getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len) != 0 ||
        len != sizeof value)
      return false;
    *error = value;
    return true;
  }
};

class EventStopSignal final : public StopSignal {
 public:
  explicit EventStopSignal(win32::UniqueHandle&& event) : event_(std::move(event)) {
    record_.handle = event_.get();
  }
  void Set() override { SetEvent(record_.handle); }
  NetEvent Event() override { return &record_; }

 private:
  win32::UniqueHandle event_;
  EventRecord record_;
};

bool Connect(SOCKET s, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

Network& SystemNetwork() {
  static WinsockNetwork network;
  return network;
}

std::unique_ptr<StopSignal> CreateStopSignal() {
  win32::UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));  // auto-reset
  if (!event) return nullptr;
  return std::unique_ptr<StopSignal>(new (std::nothrow) EventStopSignal(std::move(event)));
}

bool CreateSocketPair(Socket* first, Socket* second) {
  EnsureWinsock();
  // Windows has no socketpair(): a loopback listener on a free port, one
  // connection to it, and the listener closed again.
  UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!listener) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  UniqueSocket a;
  UniqueSocket b;
  if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
      listen(listener.get(), 1) == 0 &&
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    a.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (a && Connect(a.get(), ntohs(addr.sin_port)))
      b.reset(accept(listener.get(), nullptr, nullptr));
  }
  listener.reset();
  if (!b) return false;
  *first = static_cast<Socket>(a.release());
  *second = static_cast<Socket>(b.release());
  return true;
}

Socket ConnectLoopback(std::uint16_t port) {
  EnsureWinsock();
  UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s) return kInvalidSocket;
  if (!Connect(s.get(), port)) return kInvalidSocket;
  return static_cast<Socket>(s.release());
}

bool LocalPort(Socket s, std::uint16_t* port) {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
  *port = ntohs(addr.sin_port);
  return true;
}

bool SetSendBufferSize(Socket socket, int bytes) {
  return setsockopt(Sock(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                    sizeof bytes) == 0;
}

Socket OpenStreamSocket() {
  EnsureWinsock();
  const SOCKET s =
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

bool Bind(Socket s, std::uint16_t port) {
  // No socket option: a second listener on the port fails to bind.
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(Sock(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool Listen(Socket s) {
  return listen(Sock(s), SOMAXCONN) == 0;
}

Socket Accept(Socket listener) {
  Socket s = kInvalidSocket;
  SystemNetwork().TryAccept(listener, &s);
  return s;
}

}  // namespace talvex::platform
