// The /readCard handler: sends what the whole card read came to, once.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "flow/whole_read.h"
#include "http/response.h"
#include "platform/net.h"

namespace talvex {

// What the request log says of one answer.
struct AnswerTrace {
  ResultCode code = kOk;     // the answer's: 0 for a card, else the failure body's code
  CardReadTrace read;        // where the read went; its readerMs is the reader's time
  std::int64_t photoMs = 0;  // the decoder's and the encoder's time
};

// The trace of an answer with `read`'s outcome.
AnswerTrace TraceOf(const CardReadResult& read);

// Sends the answer to one card request on `socket`: the card body of a
// success, else the failure body of its code. The result is that of
// sending: 0, 304 or 305.
ResultCode HandleReadCard(platform::Network& net, platform::Socket socket,
                          const CardReadResult& read, const ResponseOptions& options = {});

}  // namespace talvex
