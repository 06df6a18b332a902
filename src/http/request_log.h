// The request log's line: one per answered request, always written.
//   request client=127.0.0.1:53422 path=/readCard code=0 transport=serial
//   port=COM7 reader_ms=312 photo_ms=41 sent=0
// (one line; the log puts the UTC time in front). Fields come in this order
// and each is there in every line, "-" when it has no value.
#pragma once

#include <cstdint>
#include <string>

#include "core/result.h"
#include "http/handler.h"
#include "platform/net.h"

namespace talvex {

struct RequestLogEntry {
  std::string client;  // "127.0.0.1:53422", "[::1]:53422"; "" when unknown
  std::string path;
  AnswerTrace answer;
  ResultCode sent = kOk;  // sending the answer: 0, 304, 305
};

std::string FormatRequestLine(const RequestLogEntry& entry);

// The client's address and port as the entry takes it ("" when the system
// does not tell).
std::string ClientText(platform::Network& net, platform::Socket socket);

// Formats and writes the line.
void LogRequest(const RequestLogEntry& entry);

}  // namespace talvex
