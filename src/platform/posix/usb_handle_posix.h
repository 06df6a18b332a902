// Owners for what libusb hands out: an open device handle with the interface
// claimed on it, and a device list.
#pragma once

#include <libusb.h>

#include <memory>
#include <utility>

namespace talvex::platform::posix {

// An open libusb device handle and, once Claim() succeeded, one claimed
// interface. When the owner goes the interface is released first, then the
// handle is closed.
class UsbDeviceHandle {
 public:
  UsbDeviceHandle() = default;
  explicit UsbDeviceHandle(libusb_device_handle* handle) noexcept : handle_(handle) {}
  ~UsbDeviceHandle() { reset(); }
  UsbDeviceHandle(UsbDeviceHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)),
        claimed_(std::exchange(other.claimed_, kNoInterface)) {}
  UsbDeviceHandle& operator=(UsbDeviceHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
      claimed_ = std::exchange(other.claimed_, kNoInterface);
    }
    return *this;
  }
  UsbDeviceHandle(const UsbDeviceHandle&) = delete;
  UsbDeviceHandle& operator=(const UsbDeviceHandle&) = delete;

  libusb_device_handle* get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

  // Claims interface `number` (only one per owner); false when the device
  // refuses, e.g. because another program holds it.
  [[nodiscard]] bool Claim(int number) noexcept {
    if (handle_ == nullptr || claimed_ != kNoInterface) return false;
    if (libusb_claim_interface(handle_, number) != 0) return false;
    claimed_ = number;
    return true;
  }

  // Hands the handle over, together with the interface claimed on it; this
  // owner is empty afterwards.
  [[nodiscard]] libusb_device_handle* release() noexcept {
    claimed_ = kNoInterface;
    return std::exchange(handle_, nullptr);
  }
  // Gives back the claimed interface, closes the handle and takes `handle`.
  void reset(libusb_device_handle* handle = nullptr) noexcept {
    libusb_device_handle* old = std::exchange(handle_, handle);
    const int claimed = std::exchange(claimed_, kNoInterface);
    if (old == nullptr) return;
    if (claimed != kNoInterface) libusb_release_interface(old, claimed);
    libusb_close(old);
  }

 private:
  static constexpr int kNoInterface = -1;
  libusb_device_handle* handle_ = nullptr;
  int claimed_ = kNoInterface;
};

// A list from libusb_get_device_list, freed with the references it holds.
struct UsbDeviceListFree {
  void operator()(libusb_device** list) const noexcept { libusb_free_device_list(list, 1); }
};
using UsbDeviceList = std::unique_ptr<libusb_device*[], UsbDeviceListFree>;

}  // namespace talvex::platform::posix
