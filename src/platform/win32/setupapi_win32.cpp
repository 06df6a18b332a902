#include "platform/win32/setupapi_win32.h"

// windows.h first
#include <setupapi.h>

#include "platform/win32/win32_text.h"

namespace talvex::platform::win32 {
namespace {

// Both buffers of one interface, zero-filled from the process heap.
class HeapBuffer {
 public:
  explicit HeapBuffer(DWORD size)
      : data_(size == 0 ? nullptr : HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size)) {}
  ~HeapBuffer() {
    if (data_ != nullptr) HeapFree(GetProcessHeap(), 0, data_);
  }
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;
  void* get() const { return data_; }

 private:
  void* data_;
};

class DeviceInfoList {
 public:
  explicit DeviceInfoList(HDEVINFO set) : set_(set) {}
  ~DeviceInfoList() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

}  // namespace

bool EnumerateDeviceInterfaces(const GUID& interfaceClass, std::vector<DeviceInterface>* out) {
  DeviceInfoList list(SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (list.get() == INVALID_HANDLE_VALUE) return false;

  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &interfaceClass, index, &interfaceData))
      break;

    // The size of the detail record; the call also fills in the device record.
    SP_DEVINFO_DATA devInfo{};
    devInfo.cbSize = sizeof devInfo;
    DWORD detailSize = 0;
    if (SetupDiGetDeviceInterfaceDetailW(list.get(), &interfaceData, nullptr, 0, &detailSize,
                                         &devInfo) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      continue;
    DWORD classSize = 0;
    if (SetupDiGetDeviceRegistryPropertyW(list.get(), &devInfo, SPDRP_CLASSGUID, nullptr, nullptr,
                                          0, &classSize) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      continue;

    HeapBuffer detailBuffer(detailSize);
    HeapBuffer classBuffer(classSize);
    if (detailBuffer.get() == nullptr || classBuffer.get() == nullptr) break;

    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.get());
    // 6 in a 32-bit process: the size of the fixed part of the wide record.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list.get(), &interfaceData, detail, detailSize, nullptr,
                                          nullptr) ||
        !SetupDiGetDeviceRegistryPropertyW(list.get(), &devInfo, SPDRP_CLASSGUID, nullptr,
                                           static_cast<BYTE*>(classBuffer.get()), classSize,
                                           nullptr))
      break;

    // Both strings are NUL-terminated inside their zero-filled buffers.
    const auto* classText = static_cast<const wchar_t*>(classBuffer.get());
    const std::size_t classUnits = wcsnlen(classText, classSize / sizeof(wchar_t));
    const std::size_t pathUnits = wcsnlen(
        detail->DevicePath,
        (detailSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t));
    DeviceInterface item;
    item.path = Utf8FromWide(std::wstring_view(detail->DevicePath, pathUnits));
    item.classGuid = Utf16FromWide(std::wstring_view(classText, classUnits));
    out->push_back(std::move(item));
  }
  return true;
}

}  // namespace talvex::platform::win32
