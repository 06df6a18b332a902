// Responses: the fixed header block with the time text, the card body or the
// "%d|%s" failure body, and the send primitives with their readiness waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "platform/net.h"

namespace talvex {

// Bytes per send of SendAll.
inline constexpr std::size_t kSendPiece = 1024;
// Each wait for writability lasts at most this long, and with a deadline a
// whole response has this long on the service thread.
inline constexpr int kReadinessWaitMs = 15000;
inline constexpr int kResponseTimeMs = 15000;
// Header line 7 as every response carries it unless an allowed origin is
// answered.
inline constexpr std::string_view kAnyOriginLine = "access-control-allow-origin: *\r\n";

// What bounds the writer's waits: the stop signal ends a wait at once (the
// send fails with 304), and past the deadline (a NowMs() value, or -1 for
// none) a send that would block fails with 305.
struct WaitLimits {
  platform::NetEvent stop = nullptr;
  std::int64_t deadlineMs = -1;
};

// What differs between the responses of a service: the origin lines in the
// place of line 7, and the writer's limits.
struct ResponseOptions {
  std::string_view originLines = kAnyOriginLine;
  WaitLimits limits;
};

// How a request's Origin is answered under a site's allowlist. An empty list
// allows every page, with the "*" line. Otherwise a listed origin gets itself
// back, and a request with another Origin is refused (290: it never reaches
// the reader); either way "Vary: Origin" follows. A request without an Origin
// is answered as ever, unless it says it comes from another site
// (Sec-Fetch-Site: cross-site, as an <img> or <script> of a refused page
// does): that one is refused as well.
struct OriginAnswer {
  bool refused = false;
  std::string lines{kAnyOriginLine};
};
OriginAnswer AnswerOrigin(const std::vector<std::string>& allowOrigins, bool hasOrigin,
                          std::string_view origin, bool crossSite = false);

// What a receive or send that would block does next: the outcome of its one
// readiness wait, then the socket's pending error. 0 means try again; 305 on
// a timeout, 304 on any failure or a stop.
ResultCode AfterReadinessWait(platform::Network& net, platform::Socket socket,
                              platform::WaitStatus waited);
// Room for the time text, terminator included.
inline constexpr std::size_t kTimeTextCapacity = 48;

// Sends up to size bytes once, waiting for writability (15 s per wait) while
// the socket would block. 0 with `sent` set, or 304 / 305 with `sent` 0.
ResultCode SendSome(platform::Network& net, platform::Socket socket, const std::uint8_t* data,
                    std::size_t size, std::size_t& sent, const WaitLimits& limits = {});
// Sends exactly size bytes in pieces of at most 1024; on failure the code of
// the failed piece, with `sent` the bytes that went before it.
ResultCode SendAll(platform::Network& net, platform::Socket socket, const std::uint8_t* data,
                   std::size_t size, std::size_t& sent, const WaitLimits& limits = {});

// "%a, %d %b %Y %H:%M:%S GMT" of the UTC time `secondsSince1970`, with the
// English names of the C locale, e.g. "Tue, 05 Mar 2024 08:09:07 GMT".
// Returns its length; out is NUL-terminated.
std::size_t FormatTimeText(std::int64_t secondsSince1970, char (&out)[kTimeTextCapacity]);
// The current time, seconds since 1970.
std::int64_t CurrentTimeSeconds();

// The nine-line header block for a body of contentLength bytes.
// originLines stands in the place of line 7.
std::string BuildHeaderBlock(const char* timeText, std::int32_t contentLength,
                             std::string_view originLines = kAnyOriginLine);

// Header block, result text and photo text, each sent with SendAll.
ResultCode SendCardResponse(platform::Network& net, platform::Socket socket, const char* resultText,
                            std::int32_t resultLength, const char* photoText,
                            std::size_t photoLength, const ResponseOptions& options = {});
// Header block and the "%d|%s" body of `code`.
ResultCode SendErrorResponse(platform::Network& net, platform::Socket socket, ResultCode code,
                             const ResponseOptions& options = {});

}  // namespace talvex
