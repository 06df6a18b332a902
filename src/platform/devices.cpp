#include "platform/devices.h"

namespace talvex::platform {
namespace {

DeviceBackends& Current() {
  static DeviceBackends current{&SystemSerialBackend(), &SystemHidBackend(), &SystemUsbBackend()};
  return current;
}

}  // namespace

const DeviceBackends& Devices() {
  return Current();
}

ScopedDeviceBackends::ScopedDeviceBackends(DeviceBackends replacement) : saved_(Current()) {
  DeviceBackends& cur = Current();
  if (replacement.serial) cur.serial = replacement.serial;
  if (replacement.hid) cur.hid = replacement.hid;
  if (replacement.usb) cur.usb = replacement.usb;
}

ScopedDeviceBackends::~ScopedDeviceBackends() {
  Current() = saved_;
}

}  // namespace talvex::platform
