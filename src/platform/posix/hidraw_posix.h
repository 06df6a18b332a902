// Linux HID devices through hidraw. The backend reads sysfs below a class
// directory (normally /sys/class/hidraw) and opens nodes below a device
// directory (normally /dev); tests point both at a tree of their own.
#pragma once

#include <string>

#include "platform/hid.h"

namespace talvex::platform::posix {

class HidrawBackend : public HidBackend {
 public:
  HidrawBackend(std::string classDirectory, std::string deviceDirectory);

  // Every hidrawN of the class directory, in ascending N, as
  // <deviceDirectory>/hidrawN, each of the HID class. A class directory that
  // does not exist means no HID devices (true, empty list).
  bool Enumerate(std::vector<DeviceInterface>* out) override;
  // Opens the node read-write and takes flock(LOCK_EX | LOCK_NB) on it; a node
  // that does not open, or that another program holds locked, gives null.
  std::unique_ptr<HidDevice> Open(const DeviceInterface& device) override;

 private:
  std::string classDirectory_;
  std::string deviceDirectory_;
};

// Text of a sysfs attribute as UTF-16LE in a 256-byte string buffer: one
// trailing newline dropped, cut to 127 units, then a terminating zero; bytes
// after the terminator are left as they were.
void WriteHidString(const std::string& utf8, std::uint8_t (&buffer)[kHidStringBufferSize]);

}  // namespace talvex::platform::posix
