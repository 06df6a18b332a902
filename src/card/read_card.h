// The card read flow: open the reader, read the card, build the result text,
// write and decode the photo, close the reader.
#pragma once

#include <cstdint>
#include <memory>

#include "card/result_codes.h"

namespace talvex {

// On entry text is reset and length set to 0. On 0, text holds the
// NUL-terminated UTF-8 result text (a 1024-byte buffer) and length its byte
// count without the terminator; on failure neither is set. selector is the
// caller's transport selector, which an auto-detection writes back into.
ResultCode ReadCard(std::int32_t& selector, const char16_t* photoPath,
                    std::unique_ptr<char[]>& text, std::int32_t& length);

}  // namespace talvex
