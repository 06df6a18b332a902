#include "http/events.h"

#include "card/result_message.h"

namespace talvex {

std::string StreamHeaderBlock(std::string_view originLines) {
  std::string block;
  block.reserve(160);
  block += "HTTP/1.1 200 OK\r\n";
  block += "Server: Talvex Http Server\r\n";
  block += "Content-Type: text/event-stream\r\n";
  block += "Cache-Control: no-cache\r\n";
  block += originLines;
  block += "\r\n";
  return block;
}

std::string CardEventText(std::string_view body) {
  std::string text;
  text.reserve(body.size() + 24);
  text += "event: card\ndata: ";
  text += body;
  text += "\n\n";
  return text;
}

std::string FailureEventText(ResultCode code) {
  char body[64];
  const std::int32_t length = FormatResultMessage(code, body);
  std::string text = "event: error\ndata: ";
  text.append(body, length > 0 ? static_cast<std::size_t>(length) : 0);
  text += "\n\n";
  return text;
}

void QueueStreamText(StreamState& stream, std::string_view text, std::int64_t nowMs) {
  if (stream.unsent.empty()) stream.lastTakenMs = nowMs;
  stream.unsent += text;
  stream.lastQueuedMs = nowMs;
}

bool FlushStream(platform::Network& net, platform::Socket socket, StreamState& stream,
                 std::int64_t nowMs) {
  std::size_t taken = 0;
  while (taken < stream.unsent.size()) {
    std::size_t count = 0;
    const platform::IoStatus status =
        net.Send(socket, reinterpret_cast<const std::uint8_t*>(stream.unsent.data()) + taken,
                 stream.unsent.size() - taken, &count);
    if (status == platform::IoStatus::kWouldBlock) break;
    if (status != platform::IoStatus::kDone) return false;
    if (count == 0) break;
    taken += count;
  }
  if (taken > 0) {
    stream.unsent.erase(0, taken);
    stream.lastTakenMs = nowMs;
  }
  if (stream.unsent.empty()) return true;
  return stream.unsent.size() <= kStreamMaxUnsent && nowMs - stream.lastTakenMs < kStreamStallMs;
}

}  // namespace talvex
