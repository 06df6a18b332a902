// Linux USB reader "driver" over libusb: which USB devices are readers.
#pragma once

#include <string>
#include <string_view>

namespace talvex::platform::posix {

// Per-transfer time limits of the bulk pipes, in milliseconds.
inline constexpr unsigned kUsbSendTimeoutMs = 3000;
inline constexpr unsigned kUsbReceiveTimeoutMs = 3000;

// True when the udev database entry of the character device major:minor
// (<udevDataDirectory>/c<major>:<minor>) holds the property line
// "E:<property>" exactly, e.g. "E:TALVEX_READER=1".
bool UdevDeviceHasProperty(const std::string& udevDataDirectory, unsigned major, unsigned minor,
                           std::string_view property);

// True when the device node at `devicePath` is a character device that udev
// tagged TALVEX_READER=1.
bool UsbNodeIsReader(const std::string& devicePath, const std::string& udevDataDirectory);

}  // namespace talvex::platform::posix
