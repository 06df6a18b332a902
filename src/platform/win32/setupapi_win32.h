// Device interface enumeration with SetupAPI, shared by the HID and the USB
// driver discovery.
#pragma once

#include <windows.h>

#include <vector>

#include "platform/hid.h"  // DeviceInterface

namespace talvex::platform::win32 {

// The present device interfaces of `interfaceClass`, in enumeration order,
// each with its device setup class. An interface whose size queries do not
// answer ERROR_INSUFFICIENT_BUFFER is skipped. Running out of memory, or a
// detail or class fetch that fails, ends the search there: the interfaces
// before it are kept (they would have been tried first) and none after.
// False when the device list itself could not be had.
bool EnumerateDeviceInterfaces(const GUID& interfaceClass, std::vector<DeviceInterface>* out);

}  // namespace talvex::platform::win32
