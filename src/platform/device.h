// The open device behind a reader context: a serial port, a HID device or the
// reader's USB driver device. Closing is the destructor's job.
#pragma once

namespace talvex::platform {

class DeviceHandle {
 public:
  virtual ~DeviceHandle() = default;
  DeviceHandle() = default;
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;
};

}  // namespace talvex::platform
