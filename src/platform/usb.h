// The reader's USB driver: four requests that move the head and the body of a
// frame in each direction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/hid.h"  // DeviceInterface

namespace talvex::platform {

class UsbDevice : public DeviceHandle {
 public:
  // Send frame head (7 bytes) and send frame body (the rest). False on failure;
  // the transfer count is not reported because nobody looks at it.
  virtual bool SendHead(const std::uint8_t* data, std::uint32_t size) = 0;
  virtual bool SendBody(const std::uint8_t* data, std::uint32_t size) = 0;
  // Receive response head (asks for 7 bytes) and body (asks for `size`).
  virtual bool ReceiveHead(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) = 0;
  virtual bool ReceiveBody(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) = 0;
};

// The reader driver's setup class.
inline constexpr char16_t kReaderDriverClassGuid[] = u"{FF646F81-8DEF-11D2-9449-00105A075F6B}";

class UsbBackend {
 public:
  virtual ~UsbBackend() = default;
  // The USB device interfaces present, in enumeration order, each with its
  // setup class (the reader driver's class for readers). False when the
  // enumeration failed.
  virtual bool Enumerate(std::vector<DeviceInterface>* out) = 0;
  virtual std::unique_ptr<UsbDevice> Open(const DeviceInterface& device) = 0;
};

UsbBackend& SystemUsbBackend();

// A USB device shaped like a reader behind the reader's driver: an interface
// of vendor class with a bulk IN and a bulk OUT endpoint. For the diagnosis,
// which proposes the udev rule line for the untagged ones.
struct UsbReaderLike {
  std::string path;  // as Enumerate names it
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  bool tagged = false;  // marked as a reader (Linux: TALVEX_READER=1)
};

// Every such device present, tagged or not (none on Windows, where the
// reader driver's setup class names the readers). False when the
// enumeration failed.
bool ListReaderLikeUsbDevices(std::vector<UsbReaderLike>* out);

}  // namespace talvex::platform
