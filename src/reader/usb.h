// Readers behind the reader's own USB driver.
#pragma once

#include <cstdint>
#include <memory>

#include "card/result_codes.h"
#include "platform/usb.h"

namespace talvex {

struct ReaderContext;

// Discovery: the first device of the reader driver's setup class that opens.
std::unique_ptr<platform::UsbDevice> FindUsbReader();

ResultCode UsbExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length);

}  // namespace talvex
