// Readers behind the reader's own USB driver: discovery by setup class, and
// the frame exchange as head and body requests in each direction.
#include "reader/usb.h"

#include <new>
#include <string_view>
#include <vector>

#include "platform/devices.h"
#include "reader/frame.h"
#include "reader/session.h"
#include "reader/trace.h"

namespace talvex {
namespace {

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
    if (x != y) return false;
  }
  return true;
}

std::unique_ptr<platform::UsbDevice> SearchUsbDevices(platform::UsbBackend& backend,
                                                      std::string* path) {
  std::vector<platform::DeviceInterface> interfaces;
  if (!backend.Enumerate(&interfaces)) return nullptr;
  for (const platform::DeviceInterface& candidate : interfaces) {
    if (!IsReaderDriverClass(candidate)) {
      LogCandidate("usb", candidate.path, false, "not-reader-class");
      continue;
    }
    if (std::unique_ptr<platform::UsbDevice> device = backend.Open(candidate)) {
      if (path != nullptr) *path = candidate.path;
      return device;
    }
    LogCandidate("usb", candidate.path, false, kDoesNotOpen);
  }
  return nullptr;
}

}  // namespace

bool IsReaderDriverClass(const platform::DeviceInterface& device) {
  return EqualsIgnoringCase(device.classGuid, platform::kReaderDriverClassGuid);
}

std::unique_ptr<platform::UsbDevice> FindUsbReader(std::string* path) {
  // Running out of memory while enumerating ends the search with no device.
  try {
    return SearchUsbDevices(*platform::Devices().usb, path);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ResultCode UsbExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length) {
  ctx.dataLength = 0;
  auto* device = dynamic_cast<platform::UsbDevice*>(ctx.device.get());
  if (device == nullptr) return kPortOpenFailed;
  // Every request frame has at least its head; anything shorter cannot be
  // split into the head and body requests and is refused without I/O.
  if (request == nullptr || length < kFrameHeadSize) return kPortOpenFailed;

  if (!device->SendHead(request, kFrameHeadSize)) return kPortOpenFailed;
  if (!device->SendBody(request + kFrameHeadSize, length - kFrameHeadSize)) {
    return kPortOpenFailed;
  }

  std::uint32_t transferred = 0;
  if (!device->ReceiveHead(ctx.rxBuffer, kFrameHeadSize, &transferred)) return kPortOpenFailed;
  if (transferred != kFrameHeadSize) return kReceiveTimeout;
  std::uint32_t len = 0;
  if (ResultCode rc = CheckResponseHead(ctx, &len); rc != kOk) return rc;

  // CheckResponseHead bounds LEN to 2361, so the body ends at the buffer's end
  // at the latest.
  transferred = 0;
  if (!device->ReceiveBody(ctx.rxBuffer + kFrameHeadSize, len, &transferred)) {
    return kPortOpenFailed;
  }
  if (transferred != len) return kReceiveTimeout;
  return FinishResponse(ctx, len);
}

}  // namespace talvex
