// The card read flow: open the reader, read the card, build the result text,
// write and decode the photo, close the reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/result.h"

namespace talvex {

// Where one card read went and how long it took, for the request log.
struct CardReadTrace {
  std::int32_t transport = 0;  // the selector the reader was reached by; 0 when none was
  std::string port;            // the device that was opened (or kept open), "" when none
  std::int64_t readerMs = 0;   // opening the reader, the frames, closing it
  std::int64_t photoMs = 0;    // writing the photo file, the decoder's and the encoder's work
};

class ReaderHold;

// On entry text is reset and length set to 0. On 0, text holds the
// NUL-terminated UTF-8 result text (a 1024-byte buffer) and length its byte
// count without the terminator; on failure neither is set. selector is the
// caller's transport selector, which an auto-detection writes back into.
// trace, when given, is filled whichever way the read ends.
ResultCode ReadCard(std::int32_t& selector, const char16_t* photoPath,
                    std::unique_ptr<char[]>& text, std::int32_t& length,
                    CardReadTrace* trace = nullptr);

// The same on the service's reader: its kept reader when one is open (it
// stays open after a good read and is released after a failed one), else a
// reader opened by its selector for this read alone.
ResultCode ReadCard(ReaderHold& hold, const char16_t* photoPath, std::unique_ptr<char[]>& text,
                    std::int32_t& length, CardReadTrace* trace = nullptr);

}  // namespace talvex
