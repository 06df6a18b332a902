// The reader's own USB driver on Windows: devices of the USB device interface
// class, opened with no access rights (the four control requests need none).
#include <windows.h>

#include <new>
#include <utility>

#include "platform/usb.h"
#include "platform/win32/hid_codes.h"
#include "platform/win32/setupapi_win32.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

class Win32UsbDevice final : public UsbDevice {
 public:
  explicit Win32UsbDevice(win32::UniqueHandle&& handle) : handle_(std::move(handle)) {}

  bool SendHead(const std::uint8_t* data, std::uint32_t size) override {
    return Control(win32::kIoctlReaderSendHead, data, size, nullptr, 0, nullptr);
  }
  bool SendBody(const std::uint8_t* data, std::uint32_t size) override {
    return Control(win32::kIoctlReaderSendBody, data, size, nullptr, 0, nullptr);
  }
  bool ReceiveHead(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    return Control(win32::kIoctlReaderReceiveHead, nullptr, 0, data, size, transferred);
  }
  bool ReceiveBody(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    return Control(win32::kIoctlReaderReceiveBody, nullptr, 0, data, size, transferred);
  }

 private:
  bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
               std::uint32_t* transferred) {
    DWORD n = 0;
    const bool ok = DeviceIoControl(handle_.get(), code, const_cast<void*>(in), inSize, out,
                                    outSize, &n, nullptr) != 0;
    if (transferred != nullptr) *transferred = n;
    return ok;
  }

  win32::UniqueHandle handle_;
};

class Win32UsbBackend final : public UsbBackend {
 public:
  bool Enumerate(std::vector<DeviceInterface>* out) override {
    return win32::EnumerateDeviceInterfaces(win32::kUsbDeviceInterfaceClass, out);
  }

  std::unique_ptr<UsbDevice> Open(const DeviceInterface& device) override {
    const std::wstring path = win32::WideFromUtf8(device.path);
    win32::UniqueHandle h(CreateFileW(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) return nullptr;
    return std::unique_ptr<UsbDevice>(new (std::nothrow) Win32UsbDevice(std::move(h)));
  }
};

}  // namespace

UsbBackend& SystemUsbBackend() {
  static Win32UsbBackend backend;
  return backend;
}

bool ListReaderLikeUsbDevices(std::vector<UsbReaderLike>* out) {
  out->clear();  // the reader driver's setup class names the readers here
  return true;
}

}  // namespace talvex::platform
