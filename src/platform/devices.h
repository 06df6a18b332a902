// Which backends the reader link uses. The system's own by default; tests and
// the simulator's in-process mode install others for the length of a scope.
#pragma once

#include "platform/hid.h"
#include "platform/serial.h"
#include "platform/usb.h"

namespace talvex::platform {

struct DeviceBackends {
  SerialBackend* serial;
  HidBackend* hid;
  UsbBackend* usb;
};

// The backends in force (never null members).
const DeviceBackends& Devices();

// Installs other backends until destroyed; a null member keeps the one in force.
class ScopedDeviceBackends {
 public:
  explicit ScopedDeviceBackends(DeviceBackends replacement);
  ~ScopedDeviceBackends();
  ScopedDeviceBackends(const ScopedDeviceBackends&) = delete;
  ScopedDeviceBackends& operator=(const ScopedDeviceBackends&) = delete;

 private:
  DeviceBackends saved_;
};

}  // namespace talvex::platform
