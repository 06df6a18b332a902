// The device control codes the reader link sends on Windows.
#pragma once

#include <windows.h>

namespace talvex::platform::win32 {

constexpr DWORD ControlCode(DWORD deviceType, DWORD function, DWORD method, DWORD access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

// HID class driver (FILE_DEVICE_KEYBOARD, as hidclass.h defines them).
constexpr DWORD kIoctlHidGetManufacturerString = ControlCode(0x0B, 110, METHOD_OUT_DIRECT, 0);
constexpr DWORD kIoctlHidGetProductString = ControlCode(0x0B, 111, METHOD_OUT_DIRECT, 0);
constexpr DWORD kIoctlHidSetOutputReport = ControlCode(0x0B, 101, METHOD_IN_DIRECT, 0);
constexpr DWORD kIoctlHidGetInputReport = ControlCode(0x0B, 104, METHOD_OUT_DIRECT, 0);

// The reader's USB driver: FILE_DEVICE_UNKNOWN, functions 0x808 to 0x80B,
// METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr DWORD kIoctlReaderSendHead = ControlCode(0x22, 0x808, METHOD_BUFFERED, 0);
constexpr DWORD kIoctlReaderSendBody = ControlCode(0x22, 0x809, METHOD_BUFFERED, 0);
constexpr DWORD kIoctlReaderReceiveHead = ControlCode(0x22, 0x80A, METHOD_BUFFERED, 0);
constexpr DWORD kIoctlReaderReceiveBody = ControlCode(0x22, 0x80B, METHOD_BUFFERED, 0);

// GUID_DEVINTERFACE_USB_DEVICE {A5DCBF10-6530-11D2-901F-00C04FB951ED}
inline constexpr GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

}  // namespace talvex::platform::win32
