// Readers behind the reader's own USB driver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/result.h"
#include "platform/usb.h"

namespace talvex {

struct ReaderContext;
class DiscoveryObserver;

// Discovery: the first device of the reader driver's setup class that opens.
// path, when given, is set to its path when one is found. A survey reports
// every device to its observer and walks on to the last.
std::unique_ptr<platform::UsbDevice> FindUsbReader(std::string* path = nullptr,
                                                   DiscoveryObserver* survey = nullptr);

// The one rule discovery applies before opening: the reader driver's setup
// class (compared without regard to case).
bool IsReaderDriverClass(const platform::DeviceInterface& device);

// One frame exchange over ctx.device, which must be a USB driver device: 1 without
// any I/O otherwise.
ResultCode UsbExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length);

}  // namespace talvex
