// The link to an open reader as the frame exchange sees it: one transport
// (serial port, HID device or the reader's USB driver) over one open device,
// which exchanges one request frame for one checked response frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/result.h"
#include "platform/device.h"
#include "platform/hid.h"
#include "platform/serial.h"
#include "platform/usb.h"

namespace talvex {

struct ReaderContext;

enum class TransportKind { kNone, kSerial, kUsb, kHid };

// The transport a selector names: below 1000 serial, 1001 the USB driver,
// 2001 HID, anything else none.
TransportKind TransportKindOf(std::int32_t selector);
// "serial", "usb", "hid", "none": the names the logs use.
const char* TransportKindName(TransportKind kind);

class Transport {
 public:
  virtual ~Transport() = default;
  virtual TransportKind Kind() const = 0;
  // Sends one request and receives and checks one response into ctx.rxBuffer;
  // on a whole response ctx.dataLength is its data length.
  virtual ResultCode Exchange(ReaderContext& ctx, const std::uint8_t* request,
                              std::uint32_t length) = 0;
  // The kind and the port the device was found at: "hid /dev/hidraw3",
  // "serial COM7".
  std::string Describe(std::string_view port) const;
};

// The transports over each kind of device; null when the device is null or
// the memory for the transport is not there (the device is closed then).
std::unique_ptr<Transport> SerialTransportOver(std::unique_ptr<platform::SerialPort> port);
std::unique_ptr<Transport> HidTransportOver(std::unique_ptr<platform::HidDevice> device);
std::unique_ptr<Transport> UsbTransportOver(std::unique_ptr<platform::UsbDevice> device);
// A device of no reader transport: it never exchanges a frame.
std::unique_ptr<Transport> NoTransportOver(std::unique_ptr<platform::DeviceHandle> device);

// The reader context's open device. It takes a device of any kind and puts
// the matching transport over it, so that the kind is known from the type it
// was given and never has to be asked of the device afterwards.
class TransportSlot {
 public:
  TransportSlot() = default;
  TransportSlot(std::nullptr_t) {}  // NOLINT: reads like the pointer it replaces

  template <class Device>
  TransportSlot& operator=(std::unique_ptr<Device> device) {
    transport_ = Over(std::move(device));
    return *this;
  }
  TransportSlot& operator=(std::nullptr_t) {
    transport_.reset();
    return *this;
  }

  void reset() { transport_.reset(); }
  Transport* get() const { return transport_.get(); }
  Transport* operator->() const { return transport_.get(); }
  explicit operator bool() const { return transport_ != nullptr; }
  friend bool operator==(const TransportSlot& slot, std::nullptr_t) { return !slot.transport_; }

 private:
  template <class Device>
  static std::unique_ptr<Transport> Over(std::unique_ptr<Device> device) {
    if constexpr (std::is_base_of_v<Transport, Device>) {
      return device;
    } else if constexpr (std::is_base_of_v<platform::SerialPort, Device>) {
      return SerialTransportOver(std::move(device));
    } else if constexpr (std::is_base_of_v<platform::HidDevice, Device>) {
      return HidTransportOver(std::move(device));
    } else if constexpr (std::is_base_of_v<platform::UsbDevice, Device>) {
      return UsbTransportOver(std::move(device));
    } else {
      return NoTransportOver(std::move(device));
    }
  }

  std::unique_ptr<Transport> transport_;
};

// One exchange over ctx's device when it is a transport of `kind`; 1 without
// any I/O otherwise. ctx.dataLength is 0 until a response checks out.
ResultCode ExchangeOver(TransportKind kind, ReaderContext& ctx, const std::uint8_t* request,
                        std::uint32_t length);

}  // namespace talvex
