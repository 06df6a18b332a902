// Messages of the result codes and the "%d|%s" failure body text.
#pragma once

#include <cstdint>

#include "core/result.h"

namespace talvex {

// The Chinese message of a code; "未知错误" for every code without one.
const char16_t* ResultMessage(ResultCode code);

// Writes the NUL-terminated UTF-8 text "<code>|<message>" into out (64 bytes,
// terminator included) and returns its length in bytes without the NUL, or 0
// if the conversion failed.
std::int32_t FormatResultMessage(ResultCode code, char (&out)[64]);

}  // namespace talvex
