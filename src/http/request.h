// The request reader: takes one HTTP request off a client connection and
// tells whether it is a card request ("GET" of /readCard). It never sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "card/result_codes.h"
#include "platform/net.h"

namespace talvex {

// Each wait for readiness of a client socket lasts at most this long.
inline constexpr int kReadinessWaitMs = 15000;
// The longest line the reader takes, CR LF included; one byte more ends the
// request with kSocketError (the connection is closed).
inline constexpr std::size_t kMaxLineBytes = 8192;
// Bytes per receive when the body is drained, and per receive of ReceiveAll.
inline constexpr std::size_t kBodyPiece = 64;
inline constexpr std::size_t kReceivePiece = 1024;

// Receives between 1 and size bytes, waiting for readiness when none are
// there yet. 0 with `received` set, or 304, 305, 307 with `received` 0.
// What a receive or send that would block does next: the outcome of its one
// readiness wait, then the socket's pending error. 0 means try again; 305 on
// a timeout, 304 on any failure.
ResultCode AfterReadinessWait(platform::Network& net, platform::Socket socket,
                              platform::WaitStatus waited);

ResultCode ReceiveSome(platform::Network& net, platform::Socket socket, std::uint8_t* buffer,
                       std::size_t size, std::size_t& received);
// Receives exactly size bytes in pieces of at most 1024; on failure the code
// of the failed piece, with `received` the bytes that came before it.
ResultCode ReceiveAll(platform::Network& net, platform::Socket socket, std::uint8_t* buffer,
                      std::size_t size, std::size_t& received);
// One line ending with CR LF (kept in the line), each byte one code unit.
ResultCode ReadLine(platform::Network& net, platform::Socket socket, std::u16string& line);
// One request: request line, header lines, body drained. cardRequest is
// written once the request line has arrived.
ResultCode ReadRequest(platform::Network& net, platform::Socket socket, int& cardRequest);

// The parsing rules, on their own.
// Whether a request line (CR LF included) is a "GET" of /readCard.
bool IsCardRequestLine(std::u16string_view line);
// Splits a header line (without its CR LF) at colons; false when it has no
// name (a line of colons only or an empty line).
bool SplitHeaderLine(std::u16string_view line, std::u16string_view& name,
                     std::u16string_view& value);
// The value read as wcstoul(value, nullptr, 10) reads it with a 32-bit
// unsigned long: white space skipped, one sign, digits, saturating at
// 4294967295, "-" negating modulo 2^32.
std::uint32_t ParseUnsignedDecimal(std::u16string_view value);

}  // namespace talvex
