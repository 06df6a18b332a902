// The service thread's event loop: one wait over the stop signal (index 0),
// the listener (1) and up to 62 clients (2..63), the lowest ready index served
// first, one per turn.
#pragma once

#include <cstdint>
#include <functional>

#include "card/result_codes.h"
#include "platform/net.h"

namespace talvex {

inline constexpr int kEventTableSize = 64;
inline constexpr int kStopIndex = 0;
inline constexpr int kListenerIndex = 1;
inline constexpr int kFirstClientIndex = 2;

// The socket and event tables; clients occupy 2 .. count + 1 with no gaps.
struct ServiceTables {
  platform::Socket sockets[kEventTableSize];
  platform::NetEvent events[kEventTableSize];
  int count = 0;

  ServiceTables();
};

// What the loop calls for a client that sent data.
struct RequestHandlers {
  // ReadRequest: 0, 304, 305 or 307, and the card-request flag.
  std::function<ResultCode(platform::Socket socket, int& cardRequest)> readRequest;
  // HandleReadCard: 0, 304 or 305.
  std::function<ResultCode(platform::Socket socket, std::int32_t& selector)> handleReadCard;
  // Told once the listener is set up, before the first wait (may be empty).
  std::function<void()> listening;
};

// Accepts one pending connection into index count + 2. 0, 277, 310 or 311.
ResultCode AcceptClient(platform::Network& net, ServiceTables& tables);
// Closes the client at `index`; the last client moves into its place.
void RemoveClient(platform::Network& net, ServiceTables& tables, int index);

// The whole thread: set-up, the loop until the stop signal or a failure, and
// shutdown (every socket and event but the stop signal closed). Returns 0
// after a stop, else the failure code (277, 304, 308 .. 313).
ResultCode RunHttpService(platform::Network& net, platform::NetEvent stopEvent, std::uint16_t port,
                          const RequestHandlers& handlers);

}  // namespace talvex
