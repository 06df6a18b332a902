#include "http/handler.h"

#include "http/response.h"

namespace talvex {

AnswerTrace TraceOf(const CardReadResult& read) {
  AnswerTrace trace;
  trace.code = read.code;
  trace.read = read.trace;
  trace.photoMs = read.trace.photoMs;
  return trace;
}

ResultCode HandleReadCard(platform::Network& net, platform::Socket socket,
                          const CardReadResult& read, const ResponseOptions& options) {
  if (read.code != kOk) return SendErrorResponse(net, socket, read.code, options);
  return SendCardResponse(net, socket, read.body.data(), static_cast<std::int32_t>(read.textLength),
                          read.body.data() + read.textLength, read.body.size() - read.textLength,
                          options);
}

}  // namespace talvex
