// Readers that present themselves as HID devices: discovery by class, strings
// and report sizes, and the frame exchange in 64-byte reports.
#include "reader/hid.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/devices.h"
#include "reader/device_search.h"
#include "reader/discovery.h"
#include "reader/discovery_testing.h"
#include "reader/frame.h"
#include "reader/session.h"
#include "reader/trace.h"
#include "reader/transport.h"

namespace talvex {
namespace {

constexpr std::uint32_t kReportPayload = platform::kHidReportSize - 1;  // 64
// The string buffer holds 127 UTF-16 units and a terminating zero.
constexpr std::size_t kMaxStringUnits = platform::kHidStringBufferSize / 2 - 1;

constexpr HidMarks kReaderMarks{u"KAVRO", u"TalvexReaderDevice"};
const HidMarks* currentMarks = &kReaderMarks;

// The text the buffer holds: UTF-16LE up to the first zero unit, and never
// more than 127 units even when the device left no terminator.
std::u16string StringInBuffer(const std::uint8_t (&buffer)[platform::kHidStringBufferSize]) {
  std::u16string text;
  for (std::size_t i = 0; i < kMaxStringUnits; ++i) {
    const char16_t unit = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// Fetches one input report and appends its payload at rxBuffer[offset], as
// much of it as the buffer still holds.
ResultCode FetchReport(platform::HidDevice& device, ReaderContext& ctx, std::uint32_t offset) {
  std::uint8_t report[platform::kHidReportSize];
  std::memset(report, 0, sizeof report);
  std::uint32_t transferred = 0;
  if (!device.GetInputReport(report, &transferred)) return kPortOpenFailed;
  if (transferred != kReportPayload) return kReceiveTimeout;
  // offset < 7 + LEN <= 2368, so at least one byte fits.
  const std::uint32_t room = kRxBufferSize - offset;
  std::memcpy(ctx.rxBuffer + offset, report + 1, std::min(kReportPayload, room));
  return kOk;
}

// The reason token of a candidate line.
const char* RefusalName(HidRefusal refusal) {
  switch (refusal) {
    case HidRefusal::kNone:
      return "none";
    case HidRefusal::kNotHidClass:
      return "not-hid-class";
    case HidRefusal::kManufacturerUnreadable:
      return "manufacturer-unreadable";
    case HidRefusal::kManufacturerMismatch:
      return "manufacturer-mismatch";
    case HidRefusal::kProductUnreadable:
      return "product-unreadable";
    case HidRefusal::kProductMismatch:
      return "product-mismatch";
    case HidRefusal::kCapabilitiesUnreadable:
      return "capabilities-unreadable";
    case HidRefusal::kReportLengths:
      return "report-lengths";
  }
  return "unknown";
}

// The frame exchange in 64-byte reports: the request in consecutive pieces,
// then the report holding the head, then as many more as LEN asks for.
class HidTransport final : public Transport {
 public:
  explicit HidTransport(std::unique_ptr<platform::HidDevice> device) : device_(std::move(device)) {}
  TransportKind Kind() const override { return TransportKind::kHid; }
  ResultCode Exchange(ReaderContext& ctx, const std::uint8_t* request,
                      std::uint32_t length) override;

 private:
  std::unique_ptr<platform::HidDevice> device_;
};

ResultCode HidTransport::Exchange(ReaderContext& ctx, const std::uint8_t* request,
                                  std::uint32_t length) {
  // Send: consecutive 64-byte pieces, the last one padded with zeros.
  for (std::uint32_t sent = 0; sent < length; sent += kReportPayload) {
    std::uint8_t report[platform::kHidReportSize];
    std::memset(report, 0, sizeof report);
    std::memcpy(report + 1, request + sent, std::min(kReportPayload, length - sent));
    std::uint32_t transferred = 0;
    if (!device_->SetOutputReport(report, &transferred)) return kPortOpenFailed;
    if (transferred != kReportPayload) return kReceiveTimeout;
  }

  // Head: one whole report, which already holds the frame head.
  if (ResultCode rc = FetchReport(*device_, ctx, 0); rc != kOk) return rc;
  std::uint32_t len = 0;
  if (ResultCode rc = CheckResponseHead(ctx, &len); rc != kOk) return rc;

  // Body: the reports the frame's LEN still asks for.
  const std::uint32_t frameSize = kFrameHeadSize + len;
  for (std::uint32_t received = kReportPayload; received < frameSize; received += kReportPayload) {
    if (ResultCode rc = FetchReport(*device_, ctx, received); rc != kOk) return rc;
  }
  return FinishResponse(ctx, len);
}

}  // namespace

bool IsHidClass(const platform::DeviceInterface& device) {
  return IsSetupClass(device, platform::kHidClassGuid);
}

const HidMarks& ReaderHidMarks() {
  return *currentMarks;
}

ScopedHidMarks::ScopedHidMarks(HidMarks marks) : saved_(currentMarks), marks_(marks) {
  currentMarks = &marks_;
}

ScopedHidMarks::~ScopedHidMarks() {
  currentMarks = saved_;
}

bool IsReaderManufacturer(std::u16string_view manufacturer) {
  return manufacturer.find(currentMarks->manufacturer) != std::u16string_view::npos;
}

bool IsReaderProduct(std::u16string_view product) {
  return product.find(currentMarks->product) != std::u16string_view::npos;
}

// Manufacturer and product are fetched into one buffer, zero-filled once and
// not cleared between the two requests.
HidRefusal CheckHidStrings(platform::HidDevice& device, HidFacts* facts) {
  std::uint8_t buffer[platform::kHidStringBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  if (!device.GetManufacturerString(buffer)) return HidRefusal::kManufacturerUnreadable;
  std::u16string text = StringInBuffer(buffer);
  const bool manufacturerMatches = IsReaderManufacturer(text);
  if (facts != nullptr) facts->manufacturer = text;
  if (!manufacturerMatches) return HidRefusal::kManufacturerMismatch;
  if (!device.GetProductString(buffer)) return HidRefusal::kProductUnreadable;
  text = StringInBuffer(buffer);
  if (facts != nullptr) {
    facts->product = text;
    facts->productRead = true;
  }
  return IsReaderProduct(text) ? HidRefusal::kNone : HidRefusal::kProductMismatch;
}

HidRefusal CheckHidReportLengths(platform::HidDevice& device, HidFacts* facts) {
  std::uint16_t input = 0;
  std::uint16_t output = 0;
  if (!device.GetReportLengths(&input, &output)) return HidRefusal::kCapabilitiesUnreadable;
  if (facts != nullptr) {
    facts->lengthsRead = true;
    facts->inputLength = input;
    facts->outputLength = output;
  }
  return input == platform::kHidReportSize && output == platform::kHidReportSize
             ? HidRefusal::kNone
             : HidRefusal::kReportLengths;
}

std::u16string ProductStringForDisplay(platform::HidDevice& device) {
  std::uint8_t buffer[platform::kHidStringBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  if (!device.GetProductString(buffer)) return std::u16string();
  return StringInBuffer(buffer);
}

std::unique_ptr<platform::HidDevice> FindHidReader(std::string* path, DiscoveryObserver* survey) {
  platform::HidBackend& backend = *platform::Devices().hid;
  std::unique_ptr<platform::HidDevice> taken;
  std::string found;
  auto visit = [&](const platform::DeviceInterface& interface, bool reached) {
    HidCandidate seen;
    seen.interface = &interface;
    seen.reached = reached;
    HidFacts* facts = survey != nullptr ? &seen.facts : nullptr;
    std::unique_ptr<platform::HidDevice> device;
    const char* reason = nullptr;
    bool ends = false;
    if (!IsHidClass(interface)) {
      seen.refusal = HidRefusal::kNotHidClass;
    } else if (device = backend.Open(interface); !device) {  // held by another program, or gone
      reason = kDoesNotOpen;
    } else {
      seen.device = device.get();
      seen.refusal = CheckHidStrings(*device, facts);
      // The first device with the reader's strings decides: the walk is not
      // resumed when its report sizes are wrong.
      ends = seen.refusal == HidRefusal::kNone;
      if (ends) seen.refusal = CheckHidReportLengths(*device, facts);
    }
    if (reason == nullptr && seen.refusal != HidRefusal::kNone) reason = RefusalName(seen.refusal);
    seen.taken = reached && ends && reason == nullptr;
    if (reached && reason != nullptr) LogCandidate("hid", interface.path, false, reason);
    if (survey != nullptr) survey->SawHid(seen);
    if (seen.taken) {
      found = interface.path;
      taken = std::move(device);
    }
    return ends;
  };
  if (!WalkDevices(backend, survey != nullptr, visit) && survey != nullptr) {
    survey->ListFailed(TransportKind::kHid);
  }
  if (taken && path != nullptr) *path = std::move(found);
  return taken;
}

std::unique_ptr<Transport> HidTransportOver(std::unique_ptr<platform::HidDevice> device) {
  if (!device) return nullptr;
  return std::unique_ptr<Transport>(new (std::nothrow) HidTransport(std::move(device)));
}

ResultCode HidExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length) {
  return ExchangeOver(TransportKind::kHid, ctx, request, length);
}

}  // namespace talvex
