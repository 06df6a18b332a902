#include "reader/transport.h"

#include <new>

#include "reader/session.h"

namespace talvex {
namespace {

class NoTransport final : public Transport {
 public:
  explicit NoTransport(std::unique_ptr<platform::DeviceHandle> device)
      : device_(std::move(device)) {}
  TransportKind Kind() const override { return TransportKind::kNone; }
  ResultCode Exchange(ReaderContext&, const std::uint8_t*, std::uint32_t) override {
    return kPortOpenFailed;
  }

 private:
  std::unique_ptr<platform::DeviceHandle> device_;
};

}  // namespace

TransportKind TransportKindOf(std::int32_t selector) {
  if (selector < 1000) return TransportKind::kSerial;
  if (selector == kTransportUsb) return TransportKind::kUsb;
  if (selector == kTransportHid) return TransportKind::kHid;
  return TransportKind::kNone;
}

const char* TransportKindName(TransportKind kind) {
  switch (kind) {
    case TransportKind::kSerial:
      return "serial";
    case TransportKind::kUsb:
      return "usb";
    case TransportKind::kHid:
      return "hid";
    case TransportKind::kNone:
      break;
  }
  return "none";
}

std::string Transport::Describe(std::string_view port) const {
  std::string text = TransportKindName(Kind());
  text += ' ';
  text += port;
  return text;
}

std::unique_ptr<Transport> NoTransportOver(std::unique_ptr<platform::DeviceHandle> device) {
  if (!device) return nullptr;
  return std::unique_ptr<Transport>(new (std::nothrow) NoTransport(std::move(device)));
}

ResultCode ExchangeOver(TransportKind kind, ReaderContext& ctx, const std::uint8_t* request,
                        std::uint32_t length) {
  ctx.dataLength = 0;
  if (kind == TransportKind::kNone || !ctx.device || ctx.device->Kind() != kind) {
    return kPortOpenFailed;
  }
  return ctx.device->Exchange(ctx, request, length);
}

}  // namespace talvex
