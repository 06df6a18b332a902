// HID devices on Windows: the HID class interfaces from SetupAPI, opened
// without sharing, and the class driver's control codes.
#include <windows.h>
// windows.h first; mingw's HID headers declare C functions without saying so.
extern "C" {
#include <hidsdi.h>
}

#include <new>
#include <utility>

#include "platform/hid.h"
#include "platform/win32/hid_codes.h"
#include "platform/win32/setupapi_win32.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

class Win32HidDevice final : public HidDevice {
 public:
  explicit Win32HidDevice(win32::UniqueHandle&& handle) : handle_(std::move(handle)) {}

  bool GetManufacturerString(std::uint8_t (&buffer)[kHidStringBufferSize]) override {
    return Control(win32::kIoctlHidGetManufacturerString, nullptr, 0, buffer, sizeof buffer,
                   nullptr);
  }

  bool GetProductString(std::uint8_t (&buffer)[kHidStringBufferSize]) override {
    return Control(win32::kIoctlHidGetProductString, nullptr, 0, buffer, sizeof buffer, nullptr);
  }

  bool GetReportLengths(std::uint16_t* inputLength, std::uint16_t* outputLength) override {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(handle_.get(), &preparsed)) return false;
    HIDP_CAPS caps{};
    const NTSTATUS status = HidP_GetCaps(preparsed, &caps);
    HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) return false;
    *inputLength = caps.InputReportByteLength;
    *outputLength = caps.OutputReportByteLength;
    return true;
  }

  bool SetOutputReport(const std::uint8_t (&report)[kHidReportSize],
                       std::uint32_t* transferred) override {
    return Control(win32::kIoctlHidSetOutputReport, const_cast<std::uint8_t*>(report),
                   sizeof report, nullptr, 0, transferred);
  }

  bool GetInputReport(std::uint8_t (&report)[kHidReportSize], std::uint32_t* transferred) override {
    return Control(win32::kIoctlHidGetInputReport, nullptr, 0, report, sizeof report, transferred);
  }

 private:
  bool Control(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
               std::uint32_t* transferred) {
    DWORD n = 0;
    const bool ok =
        DeviceIoControl(handle_.get(), code, in, inSize, out, outSize, &n, nullptr) != 0;
    if (transferred != nullptr) *transferred = n;
    return ok;
  }

  win32::UniqueHandle handle_;
};

class Win32HidBackend final : public HidBackend {
 public:
  bool Enumerate(std::vector<DeviceInterface>* out) override {
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    return win32::EnumerateDeviceInterfaces(hidClass, out);
  }

  std::unique_ptr<HidDevice> Open(const DeviceInterface& device) override {
    const std::wstring path = win32::WideFromUtf8(device.path);
    win32::UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!h) return nullptr;
    return std::unique_ptr<HidDevice>(new (std::nothrow) Win32HidDevice(std::move(h)));
  }
};

}  // namespace

HidBackend& SystemHidBackend() {
  static Win32HidBackend backend;
  return backend;
}

}  // namespace talvex::platform
