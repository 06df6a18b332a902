// Sockets and network readiness for the HTTP service. The event loop's rules
// live above this seam; the backend supplies one wait over a table of events
// (index 0 the stop signal, 1 the listeners, 2.. the clients), the lowest
// signalled index first, and the non-blocking socket primitives that the
// request reader and the response writer retry around. This interface holds
// only what the service uses; what only the tests need (a plain listener, a
// blocking accept, a wait without a time limit) is in net_testing.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace talvex::platform {

// A socket as the operating system names it; all bits set when there is none.
using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = ~Socket{0};

// One readiness event. Each backend's events derive from this; whoever made
// one owns it (OwnedNetEvent), and the tables of a wait only point to it.
class NetEventObject {
 public:
  virtual ~NetEventObject() = default;
  NetEventObject(const NetEventObject&) = delete;
  NetEventObject& operator=(const NetEventObject&) = delete;

 protected:
  NetEventObject() = default;
};
// An event as a wait or a call names it; null when there is none.
using NetEvent = NetEventObject*;
// An event and its system resources, released when it goes.
using OwnedNetEvent = std::unique_ptr<NetEventObject>;

// What SelectEvents ties to an event.
enum NetEventMask : unsigned {
  kNetRead = 0x01,    // data-readable
  kNetAccept = 0x08,  // a connection is pending on a listener
  kNetClose = 0x20,   // the peer closed or reset the connection
};

struct NetEventState {
  bool readable = false;
  bool closed = false;
};

enum class IoStatus {
  kDone,        // count bytes moved (count > 0 for a receive)
  kWouldBlock,  // nothing could be moved without waiting
  kPeerClosed,  // a receive saw the orderly end of the stream
  kFailed,      // any other failure
};

enum class WaitStatus {
  kReady,    // the socket is in the ready set
  kTimeout,  // the time limit passed
  kNotSet,   // the wait returned but the socket is not in the ready set
  kFailed,   // the wait itself failed
  kStopped,  // the stop signal was raised (it stays raised for the loop)
};

// An IPv4 or IPv6 address in network byte order.
struct IpAddress {
  bool v6 = false;
  std::uint8_t bytes[16] = {};
};

// What opening a listener came to.
enum class ListenStatus {
  kListening,
  kUnavailable,   // the address family or the address does not exist here
  kSocketFailed,  // no socket could be made
  kBindFailed,    // the address and port are taken or not allowed
  kListenFailed,
};

// What one accept on a non-blocking listener came to.
enum class AcceptStatus {
  kAccepted,
  kNonePending,   // nothing to take (would block)
  kTransient,     // the connection went away before it was taken, or a signal
  kNoDescriptor,  // the process or the system is out of descriptors
  kNoMemory,      // the system is out of buffers for a new connection
  kFailed,        // the listener itself is broken
};

// What WaitAnyFor returns when its time limit passed.
inline constexpr int kWaitTimedOut = -2;

class Network {
 public:
  virtual ~Network() = default;

  // Make the sockets layer usable (and release it again).
  virtual bool Startup() = 0;
  virtual void Cleanup() = 0;

  // A TCP socket bound to address:port and listening (IPv6 sockets take only
  // IPv6). *out is kInvalidSocket unless the result is kListening.
  virtual ListenStatus OpenListener(const IpAddress& address, std::uint16_t port, Socket* out) = 0;
  // Takes one pending connection off a non-blocking listener, telling why
  // nothing was taken when nothing was.
  virtual AcceptStatus TryAccept(Socket listener, Socket* out) = 0;
  // Closed by the socket's owner (OwnedSocket) only.
  virtual void CloseSocket(Socket socket) = 0;

  // A new event; null when the system has none to give.
  virtual OwnedNetEvent CreateEvent() = 0;
  // Ties the socket's readiness (mask of NetEventMask) to the event and makes
  // the socket non-blocking.
  virtual bool SelectEvents(Socket socket, NetEvent event, unsigned mask) = 0;
  // Waits until one of events[0..count) is signalled and returns the lowest
  // signalled index, or -1 when the wait failed. A null entry is never
  // signalled (it is left out of the wait). With a time limit (negative:
  // none), kWaitTimedOut when it passed.
  virtual int WaitAnyFor(const NetEvent* events, int count, int timeoutMs) = 0;
  // Reports and clears what happened on the socket since the last report.
  virtual bool EnumEvents(Socket socket, NetEvent event, NetEventState* state) = 0;
  // Clears the event without fetching anything.
  virtual void ResetEvent(NetEvent event) = 0;

  // One receive / send call on a non-blocking socket. *count is what moved.
  virtual IoStatus Receive(Socket socket, std::uint8_t* data, std::size_t size,
                           std::size_t* count) = 0;
  virtual IoStatus Send(Socket socket, const std::uint8_t* data, std::size_t size,
                        std::size_t* count) = 0;
  // Waits up to timeoutMs for the socket to become readable (or writable).
  virtual WaitStatus WaitReadable(Socket socket, int timeoutMs) = 0;
  virtual WaitStatus WaitWritable(Socket socket, int timeoutMs) = 0;
  // The same, ending early with kStopped when `stop` (a stop signal's event,
  // or null for none) is raised; the signal stays raised.
  virtual WaitStatus WaitWritableOrStop(Socket socket, int timeoutMs, NetEvent stop) = 0;
  // The socket's pending error; false when it cannot be read.
  virtual bool PendingError(Socket socket, int* error) = 0;
  // A monotonic clock in milliseconds, for the limits of a request's turn.
  virtual std::int64_t NowMs() = 0;
  // Caps the system's send buffer of a connected socket at about `bytes`, so
  // that what a slow peer does not take stays with the caller; false when the
  // system refused.
  virtual bool LimitSendBuffer(Socket socket, int bytes) {
    (void)socket, (void)bytes;
    return false;
  }
  // The address and port (host order) of a connected socket's peer, for the
  // request log; false when the system does not tell.
  virtual bool PeerAddress(Socket socket, IpAddress* address, std::uint16_t* port) {
    (void)socket, (void)address, (void)port;
    return false;
  }
};

// A socket and the network that closes it: closed when the owner goes or is
// reset, unless it is handed on with release(). Every socket the service
// keeps (the listeners, the clients) has one.
class OwnedSocket {
 public:
  OwnedSocket() = default;
  OwnedSocket(Network& net, Socket socket) noexcept : net_(&net), socket_(socket) {}
  ~OwnedSocket() { reset(); }
  OwnedSocket(OwnedSocket&& other) noexcept
      : net_(other.net_), socket_(std::exchange(other.socket_, kInvalidSocket)) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept {
    if (this != &other) {
      reset();
      net_ = other.net_;
      socket_ = std::exchange(other.socket_, kInvalidSocket);
    }
    return *this;
  }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;

  Socket get() const noexcept { return socket_; }
  explicit operator bool() const noexcept { return socket_ != kInvalidSocket; }
  // Hands the socket over; this owner is empty afterwards.
  [[nodiscard]] Socket release() noexcept { return std::exchange(socket_, kInvalidSocket); }
  // Closes the socket (if there is one); the owner is empty afterwards.
  void reset() noexcept {
    const Socket old = std::exchange(socket_, kInvalidSocket);
    if (old != kInvalidSocket) net_->CloseSocket(old);
  }

 private:
  Network* net_ = nullptr;
  Socket socket_ = kInvalidSocket;
};

// "127.0.0.1" or "::1" (IPv6 without brackets) into *out; false for anything
// else, host names included.
bool ParseIpAddress(std::string_view text, IpAddress* out);
// 127.0.0.0/8 or ::1.
bool IsLoopbackAddress(const IpAddress& address);
// The text form: dotted IPv4; IPv6 in its shortest form (lower case, the
// longest run of two or more zero groups as "::", the first of equal runs).
std::string FormatIpAddress(const IpAddress& address);
// "127.0.0.1:53422", "[::1]:53422".
std::string FormatEndpoint(const IpAddress& address, std::uint16_t port);

// The operating system's sockets.
Network& SystemNetwork();

// An auto-reset signal that can stand at index 0 of the event table: Set()
// makes the next wait that includes it report it, and that report clears
// it again.
class StopSignal {
 public:
  virtual ~StopSignal() = default;
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  virtual void Set() = 0;
  // The event to put at index 0 of a SystemNetwork() wait.
  virtual NetEvent Event() = 0;
};

// Null when the system could not create one.
std::unique_ptr<StopSignal> CreateStopSignal();

}  // namespace talvex::platform
