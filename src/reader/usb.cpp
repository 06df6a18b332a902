// Readers behind the reader's own USB driver: discovery by setup class, and
// the frame exchange as head and body requests in each direction.
#include "reader/usb.h"

#include <new>

#include "platform/devices.h"
#include "reader/device_search.h"
#include "reader/discovery.h"
#include "reader/frame.h"
#include "reader/session.h"
#include "reader/trace.h"
#include "reader/transport.h"

namespace talvex {
namespace {

// The frame exchange as a head and a body request in each direction.
class UsbTransport final : public Transport {
 public:
  explicit UsbTransport(std::unique_ptr<platform::UsbDevice> device) : device_(std::move(device)) {}
  TransportKind Kind() const override { return TransportKind::kUsb; }
  ResultCode Exchange(ReaderContext& ctx, const std::uint8_t* request,
                      std::uint32_t length) override;

 private:
  std::unique_ptr<platform::UsbDevice> device_;
};

ResultCode UsbTransport::Exchange(ReaderContext& ctx, const std::uint8_t* request,
                                  std::uint32_t length) {
  // Every request frame has at least its head; anything shorter cannot be
  // split into the head and body requests and is refused without I/O.
  if (request == nullptr || length < kFrameHeadSize) return kPortOpenFailed;

  if (!device_->SendHead(request, kFrameHeadSize)) return kPortOpenFailed;
  if (!device_->SendBody(request + kFrameHeadSize, length - kFrameHeadSize)) {
    return kPortOpenFailed;
  }

  std::uint32_t transferred = 0;
  if (!device_->ReceiveHead(ctx.rxBuffer, kFrameHeadSize, &transferred)) return kPortOpenFailed;
  if (transferred != kFrameHeadSize) return kReceiveTimeout;
  std::uint32_t len = 0;
  if (ResultCode rc = CheckResponseHead(ctx, &len); rc != kOk) return rc;

  // CheckResponseHead bounds LEN to 2361, so the body ends at the buffer's end
  // at the latest.
  transferred = 0;
  if (!device_->ReceiveBody(ctx.rxBuffer + kFrameHeadSize, len, &transferred)) {
    return kPortOpenFailed;
  }
  if (transferred != len) return kReceiveTimeout;
  return FinishResponse(ctx, len);
}

}  // namespace

bool IsReaderDriverClass(const platform::DeviceInterface& device) {
  return IsSetupClass(device, platform::kReaderDriverClassGuid);
}

std::unique_ptr<platform::UsbDevice> FindUsbReader(std::string* path, DiscoveryObserver* survey) {
  platform::UsbBackend& backend = *platform::Devices().usb;
  std::unique_ptr<platform::UsbDevice> taken;
  std::string found;
  auto visit = [&](const platform::DeviceInterface& interface, bool reached) {
    UsbCandidate seen;
    seen.interface = &interface;
    seen.reached = reached;
    seen.readerClass = IsReaderDriverClass(interface);
    std::unique_ptr<platform::UsbDevice> device;
    if (seen.readerClass) device = backend.Open(interface);
    seen.opened = device != nullptr;
    seen.taken = reached && seen.opened;
    if (reached && !seen.taken) {
      LogCandidate("usb", interface.path, false,
                   seen.readerClass ? kDoesNotOpen : "not-reader-class");
    }
    if (survey != nullptr) survey->SawUsb(seen);
    if (seen.taken) {
      found = interface.path;
      taken = std::move(device);
    }
    return seen.taken;
  };
  if (!WalkDevices(backend, survey != nullptr, visit) && survey != nullptr) {
    survey->ListFailed(TransportKind::kUsb);
  }
  if (taken && path != nullptr) *path = std::move(found);
  return taken;
}

std::unique_ptr<Transport> UsbTransportOver(std::unique_ptr<platform::UsbDevice> device) {
  if (!device) return nullptr;
  return std::unique_ptr<Transport>(new (std::nothrow) UsbTransport(std::move(device)));
}

ResultCode UsbExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length) {
  return ExchangeOver(TransportKind::kUsb, ctx, request, length);
}

}  // namespace talvex
