// Sockets and network readiness for the HTTP service. The event loop's rules
// live above this seam; the backend supplies one wait over a table of events
// (index 0 the stop signal, 1 the listener, 2.. the clients), the lowest
// signalled index first, and the non-blocking socket primitives that the
// request reader and the response writer retry around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace talvex::platform {

// A socket as the operating system names it; all bits set when there is none.
using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = ~Socket{0};

// One readiness event. Null when there is none. The backend owns what it
// points to; CloseEvent releases it.
using NetEvent = void*;

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
};

class Network {
 public:
  virtual ~Network() = default;

  // Make the sockets layer usable (and release it again).
  virtual bool Startup() = 0;
  virtual void Cleanup() = 0;

  // An IPv4 TCP socket, or kInvalidSocket.
  virtual Socket OpenStreamSocket() = 0;
  // Binds to 0.0.0.0:port (port in host order).
  virtual bool Bind(Socket socket, std::uint16_t port) = 0;
  // Listens with the system's largest backlog.
  virtual bool Listen(Socket socket) = 0;
  // Takes one pending connection; kInvalidSocket when that fails (also when
  // none is pending on a non-blocking listener).
  virtual Socket Accept(Socket listener) = 0;
  virtual void CloseSocket(Socket socket) = 0;

  virtual NetEvent CreateEvent() = 0;
  virtual void CloseEvent(NetEvent event) = 0;
  // Ties the socket's readiness (mask of NetEventMask) to the event and makes
  // the socket non-blocking.
  virtual bool SelectEvents(Socket socket, NetEvent event, unsigned mask) = 0;
  // Waits without a time limit until one of events[0..count) is signalled and
  // returns the lowest signalled index, or -1 when the wait failed. A null
  // entry is never signalled (it is left out of the wait).
  virtual int WaitAny(const NetEvent* events, int count) = 0;
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
  // The socket's pending error; false when it cannot be read.
  virtual bool PendingError(Socket socket, int* error) = 0;
};

// The operating system's sockets.
Network& SystemNetwork();

// An auto-reset signal that can stand at index 0 of the event table: Set()
// makes the next WaitAny that includes it report it, and that report clears
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

// A connected pair of stream sockets (both blocking), for tests and tools
// that need to drive the primitives without a listener.
bool CreateSocketPair(Socket* first, Socket* second);
// A blocking client socket connected to 127.0.0.1:port, or kInvalidSocket.
Socket ConnectLoopback(std::uint16_t port);
// The local port a socket is bound to (host order).
bool LocalPort(Socket socket, std::uint16_t* port);
// Shrinks the send buffer of a socket (so that sends block early).
bool SetSendBufferSize(Socket socket, int bytes);

}  // namespace talvex::platform
