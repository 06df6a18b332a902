// HID devices, as the reader discovery sees them: an ordered list of device
// interfaces, each with its setup class, that can be opened exclusively and
// asked for strings, report sizes and reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device.h"

namespace talvex::platform {

// 65-byte report buffers: byte 0 the report ID (always 0), then 64 bytes.
inline constexpr std::uint32_t kHidReportSize = 65;
// The string requests fill a 256-byte buffer with UTF-16LE text.
inline constexpr std::uint32_t kHidStringBufferSize = 256;

class HidDevice : public DeviceHandle {
 public:
  // IOCTL_HID_GET_MANUFACTURER_STRING / IOCTL_HID_GET_PRODUCT_STRING into a
  // 256-byte buffer, written as the device answers (UTF-16LE, NUL-terminated
  // when it is shorter than the buffer); bytes past the answer are left alone.
  virtual bool GetManufacturerString(std::uint8_t (&buffer)[kHidStringBufferSize]) = 0;
  virtual bool GetProductString(std::uint8_t (&buffer)[kHidStringBufferSize]) = 0;
  // The capabilities' InputReportByteLength and OutputReportByteLength, report
  // ID byte included. False when the device's capabilities cannot be read.
  virtual bool GetReportLengths(std::uint16_t* inputLength, std::uint16_t* outputLength) = 0;
  // Set-output-report and get-input-report; *transferred is the number of
  // payload bytes moved (the report ID byte not counted).
  virtual bool SetOutputReport(const std::uint8_t (&report)[kHidReportSize],
                               std::uint32_t* transferred) = 0;
  virtual bool GetInputReport(std::uint8_t (&report)[kHidReportSize],
                              std::uint32_t* transferred) = 0;
};

struct DeviceInterface {
  std::string path;          // what Open takes
  std::u16string classGuid;  // the device setup class, "{...}" as Windows writes it
};

class HidBackend {
 public:
  virtual ~HidBackend() = default;
  // The HID device interfaces present, in the system's enumeration order.
  // False when the enumeration itself failed.
  virtual bool Enumerate(std::vector<DeviceInterface>* out) = 0;
  // Opens for reading and writing, without sharing; null when it does not open.
  virtual std::unique_ptr<HidDevice> Open(const DeviceInterface& device) = 0;
};

// The HID class GUID every HID device interface carries.
inline constexpr char16_t kHidClassGuid[] = u"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}";

HidBackend& SystemHidBackend();

}  // namespace talvex::platform
