// Device backends with no devices: neither a HID reader nor one behind the
// USB driver, so that auto-detection goes on to the serial ports.
#pragma once

#include <memory>
#include <vector>

#include "platform/hid.h"
#include "platform/usb.h"

namespace talvex::test {

class NoHid final : public platform::HidBackend {
 public:
  bool Enumerate(std::vector<platform::DeviceInterface>* out) override {
    out->clear();
    return true;
  }
  std::unique_ptr<platform::HidDevice> Open(const platform::DeviceInterface&) override {
    return nullptr;
  }
};

class NoUsb final : public platform::UsbBackend {
 public:
  bool Enumerate(std::vector<platform::DeviceInterface>* out) override {
    out->clear();
    return true;
  }
  std::unique_ptr<platform::UsbDevice> Open(const platform::DeviceInterface&) override {
    return nullptr;
  }
};

}  // namespace talvex::test
