// The request reader: takes one HTTP request off a client connection and
// tells whether it is a card request ("GET" of /readCard). It never sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"
#include "platform/net.h"

namespace talvex {

// A request has this long on the service thread from its first byte: the
// request line, the header lines and the body drain together.
inline constexpr int kRequestTimeMs = 15000;
// The limit in force: kRequestTimeMs, unless a test server shortened it
// (http/request_testing.h).
int RequestTimeMs();
// The longest line the reader takes, CR LF included; one byte more ends the
// request with kSocketError (the connection is closed).
inline constexpr std::size_t kMaxLineBytes = 8192;
// Bytes per receive when the body is drained.
inline constexpr std::size_t kBodyPiece = 64;
// The most bytes one turn takes off a connection before the next client.
inline constexpr std::size_t kTurnBytes = 16384;

// What the reader has of a connection's current request between turns.
struct RequestState {
  enum class Phase { kRequestLine, kHeaders, kBody };
  Phase phase = Phase::kRequestLine;
  std::u16string line;
  std::uint32_t contentLength = 0;
  int cardRequest = 0;
  bool hasOrigin = false;
  std::string origin;
  int hostLines = 0;            // how many Host lines came
  std::string host;             // the last one's value, bytes as sent
  bool crossSite = false;       // "Sec-Fetch-Site: cross-site"
  std::string path;             // of a card or events request, as sent (in any case)
  std::int64_t startedMs = -1;  // when its first byte came; -1 before
  // When the connection was last served: its accept, or the end of its last
  // answer. Reset() leaves it; the loop keeps it.
  std::int64_t lastServedMs = 0;

  bool InProgress() const { return startedMs >= 0; }
  std::int64_t DeadlineMs() const { return startedMs + RequestTimeMs(); }
  void Reset();
};

// The card-request flag of a "GET" of /events (1 is one of /readCard).
inline constexpr int kEventsRequest = 2;
// The card-request flag of a request that is not whole yet.
inline constexpr int kRequestIncomplete = -1;

// A whole request as the loop serves it.
struct Request {
  int cardRequest = kRequestIncomplete;  // 0, 1, kEventsRequest
  bool hasOrigin = false;
  std::string origin;      // the Origin header's value, bytes as sent
  int hostLines = 0;       // how many Host lines it had
  std::string host;        // the (last) Host header's value, bytes as sent
  bool crossSite = false;  // it had "Sec-Fetch-Site: cross-site"
  std::string path;        // of a card or events request, as sent; empty for any other
  bool expired = false;    // its body did not come within kRequestTimeMs
};

// Takes what has arrived of the connection's request without ever waiting,
// one byte per receive in the lines (so that nothing behind the request is
// taken off the connection) and at most kTurnBytes per call.
//   0   with request.cardRequest 0 or 1: the request is whole (its body
//       drained, or the drain given up when the request's time ran out,
//       and then request.expired);
//       with kRequestIncomplete: more is needed, the state keeps what came.
//   305 the request line and headers did not come within kRequestTimeMs of
//       the first byte; what came is lost. The caller closes the
//       connection, so that a client sending slowly cannot hold it.
//   304 a receive failed or a line grew past kMaxLineBytes; 307 the peer
//       closed. The caller closes the connection.
ResultCode ReadRequest(platform::Network& net, platform::Socket socket, RequestState& state,
                       Request& request);

// The same for a caller that may wait (tests and tools, one connection):
// waits for readability between the calls, up to the request's time, and
// returns as the reader of one request did, with the flag written once the
// request line has come. 0, 304, 305 or 307.
ResultCode ReadRequest(platform::Network& net, platform::Socket socket, int& cardRequest);

// The parsing rules, on their own.
// Whether a request line (CR LF included) is a "GET" of /readCard, or of
// /events.
bool IsCardRequestLine(std::u16string_view line);
bool IsEventsRequestLine(std::u16string_view line);
// Splits a header line (without its CR LF) at colons; false when it has no
// name (a line of colons only or an empty line).
bool SplitHeaderLine(std::u16string_view line, std::u16string_view& name,
                     std::u16string_view& value);
// The value read as wcstoul(value, nullptr, 10) reads it with a 32-bit
// unsigned long: white space skipped, one sign, digits, saturating at
// 4294967295, "-" negating modulo 2^32.
std::uint32_t ParseUnsignedDecimal(std::u16string_view value);

}  // namespace talvex
