// Readers that present themselves as HID devices.
#pragma once

#include <cstdint>
#include <memory>

#include "card/result_codes.h"
#include "platform/hid.h"

namespace talvex {

struct ReaderContext;

// Discovery: the first HID device that opens and whose manufacturer string
// contains "KAVRO" and product string "TalvexReaderDevice"; it must then have
// 65-byte input and output reports, or the result is none.
std::unique_ptr<platform::HidDevice> FindHidReader();

ResultCode HidExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length);

}  // namespace talvex
