// Readers that present themselves as HID devices.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/result.h"
#include "platform/hid.h"

namespace talvex {

struct ReaderContext;
class DiscoveryObserver;

// The marks a reader's HID strings carry, as case-sensitive substrings:
// "KAVRO" in the manufacturer string, "TalvexReaderDevice" in the product
// string.
struct HidMarks {
  std::u16string_view manufacturer;
  std::u16string_view product;
};
const HidMarks& ReaderHidMarks();

// Discovery: the first HID device that opens and whose strings carry the
// marks; it must then have 65-byte input and output reports, or the result
// is none. path, when given, is set to the device's path when one is found.
// With verbose logging every device passed over gets a candidate line with
// its reason. A survey reports every device to its observer and walks on to
// the last.
std::unique_ptr<platform::HidDevice> FindHidReader(std::string* path = nullptr,
                                                   DiscoveryObserver* survey = nullptr);

// The rules discovery applies to one HID device, in its order, for those who
// need to know why a device is passed over (the diagnosis).
enum class HidRefusal {
  kNone,                    // passes the check asked for
  kNotHidClass,             // its setup class is not the HID class
  kManufacturerUnreadable,  // the manufacturer string request failed
  kManufacturerMismatch,    // the manufacturer string lacks its mark
  kProductUnreadable,       // the product string request failed
  kProductMismatch,         // the product string lacks its mark
  kCapabilitiesUnreadable,  // the report lengths cannot be read
  kReportLengths,           // input and output reports are not both 65 bytes
};

// What a device answered to the checks.
struct HidFacts {
  std::u16string manufacturer;
  std::u16string product;
  bool productRead = false;
  bool lengthsRead = false;
  std::uint16_t inputLength = 0;
  std::uint16_t outputLength = 0;
};

bool IsHidClass(const platform::DeviceInterface& device);
// The two string rules on their own.
bool IsReaderManufacturer(std::u16string_view manufacturer);
bool IsReaderProduct(std::u16string_view product);
// The string check: manufacturer, then product, into one buffer that is not
// cleared in between. facts may be null.
HidRefusal CheckHidStrings(platform::HidDevice& device, HidFacts* facts);
// The report-size check. facts may be null.
HidRefusal CheckHidReportLengths(platform::HidDevice& device, HidFacts* facts);
// The product string asked for into a fresh buffer, for showing a device the
// string rule refused before it asked; empty when the request fails.
std::u16string ProductStringForDisplay(platform::HidDevice& device);

// One frame exchange over ctx.device, which must be a HID device: 1 without
// any I/O otherwise.
ResultCode HidExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length);

}  // namespace talvex
