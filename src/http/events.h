// The event streams of GET /events: server-sent events that tell a page
// when a card is placed ("event: card", the /readCard body as data), when
// reading fails ("event: error", "code|message"), and a ":" comment line
// while nothing else is said. A stream is a client of the event loop like
// any other; its writes never wait: what the socket does not take stays
// queued and goes out on a later turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"
#include "http/service.h"
#include "platform/net.h"

namespace talvex {

// A stream whose unsent output passes this is closed.
inline constexpr std::size_t kStreamMaxUnsent = 64 * 1024;
// A stream with output waiting that takes no byte for this long is closed.
inline constexpr std::int64_t kStreamStallMs = 15000;
// The system's send buffer of a stream: small, so that a peer that does not
// read leaves its output in the stream's own queue, where it is counted.
inline constexpr int kStreamSendBuffer = 16 * 1024;
// A stream that was told nothing for this long gets a comment line.
inline constexpr std::int64_t kStreamCommentMs = 10000;
// Streams take at most half of the client slots.
inline constexpr int kMaxStreams = kMaxClients / 2;

// What the event loop keeps of a client that is an event stream.
struct StreamState {
  bool open = false;              // the client's connection is an event stream
  bool newcomer = false;          // opened since the last probe
  std::string unsent;             // queued output the socket has not taken yet
  std::int64_t lastTakenMs = 0;   // when the socket last took bytes, or the queue filled from empty
  std::int64_t lastQueuedMs = 0;  // when the last text was queued

  void Reset() { *this = StreamState(); }
};

// The head of a stream's answer: 200, text/event-stream, no-cache, and the
// origin lines of the request.
std::string StreamHeaderBlock(std::string_view originLines);
// "event: card" with the body as its one data line.
std::string CardEventText(std::string_view body);
// "event: error" with "code|message".
std::string FailureEventText(ResultCode code);
// A comment line, which keeps the connection seen to be alive.
inline constexpr std::string_view kCommentText = ":\n\n";

// Queues text for the stream.
void QueueStreamText(StreamState& stream, std::string_view text, std::int64_t nowMs);

// Sends what the socket takes of the queue without waiting. False when the
// stream is to be closed: a send failed, the queue passed kStreamMaxUnsent,
// or nothing was taken for kStreamStallMs.
bool FlushStream(platform::Network& net, platform::Socket socket, StreamState& stream,
                 std::int64_t nowMs);

}  // namespace talvex
