// Socket helpers for the tests, the benchmarks and the fuzz targets: they
// drive the network primitives without a listener of the service's. The
// service itself never includes this header; each backend implements the
// helpers beside its sockets.
#pragma once

#include <cstdint>

#include "platform/net.h"

namespace talvex::platform {

// A connected pair of stream sockets (both blocking).
bool CreateSocketPair(Socket* first, Socket* second);
// A blocking client socket connected to 127.0.0.1:port, or kInvalidSocket.
Socket ConnectLoopback(std::uint16_t port);
// The local port a socket is bound to (host order).
bool LocalPort(Socket socket, std::uint16_t* port);
// Shrinks the send buffer of a socket (so that sends block early).
bool SetSendBufferSize(Socket socket, int bytes);

// An IPv4 TCP socket, or kInvalidSocket.
Socket OpenStreamSocket();
// Binds to 0.0.0.0:port (port in host order); a second socket cannot take a
// port that a listener holds.
bool Bind(Socket socket, std::uint16_t port);
// Listens with the system's largest backlog.
bool Listen(Socket socket);
// Takes one pending connection; kInvalidSocket when that fails (also when
// none is pending on a non-blocking listener).
Socket Accept(Socket listener);
// SystemNetwork().WaitAnyFor without a time limit.
inline int WaitAny(const NetEvent* events, int count) {
  return SystemNetwork().WaitAnyFor(events, count, -1);
}

}  // namespace talvex::platform
