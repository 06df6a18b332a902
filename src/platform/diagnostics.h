// What the system can tell about devices, ports and folders when something
// does not work: why a device node does not open, who holds it, which group
// it belongs to, who listens on a port, how much room a folder has. Used by
// `--diagnose` only; nothing here changes the state of what it looks at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talvex::platform {

// Why a device did not open.
enum class OpenFailure {
  kNone,              // it opened (and was closed again at once)
  kNotFound,          // no such device
  kPermissionDenied,  // the user may not open it
  kBusy,              // another program holds it (open without sharing, or locked)
  kOther,             // anything else the system says
};

struct ProcessRef {
  int pid = 0;
  std::string name;  // the program's name, "" when the system does not tell
};

// A device node as the system describes it. Fields the system does not know
// stay empty or zero.
struct DeviceNodeInfo {
  bool exists = false;
  std::string resolved;  // the node itself, with symlinks resolved
  std::string group;     // the group that owns the node ("dialout", "plugdev", ...)
  bool userInGroup = false;
  unsigned mode = 0;  // permission bits
  // The USB device the node belongs to, when it belongs to one.
  std::uint16_t usbVendor = 0;
  std::uint16_t usbProduct = 0;
  bool onUsb = false;
  // The USB device's own strings (Linux: its sysfs attributes), UTF-8.
  std::string usbManufacturer;
  std::string usbProductName;
};

// Opens the device at `path` for reading and writing, exactly as briefly as
// it takes to know, and says why it did not open. A device another program
// holds exclusively (on Linux: flock, TIOCEXCL) is kBusy. No lock or mode is
// left behind on the device.
OpenFailure CheckDeviceOpens(const std::string& path);

DeviceNodeInfo DescribeDeviceNode(const std::string& path);

// The processes that have the file at `path` open, as far as the system
// shows them to this user (Linux: /proc/*/fd). Empty where it does not tell.
std::vector<ProcessRef> ProcessesUsingFile(const std::string& path);

// The device path of serial port `number` ("" when the system maps it to
// nothing), and whether that device is present.
std::string SerialPortDevicePath(int number);

enum class PortUse {
  kFree,     // nobody listens on it
  kHeld,     // a program listens on it; `holder` names it when the system tells
  kUnknown,  // the system did not say
};

// Who listens on TCP port `port` (any address), without binding it.
PortUse ListeningPortUse(std::uint16_t port, ProcessRef* holder);

struct FolderInfo {
  bool exists = false;
  unsigned mode = 0;       // permission bits, where modeKnown
  bool modeKnown = false;  // Linux tells the permission bits and the owner
  bool ownedByUser = false;
  bool writable = false;
  std::uint64_t freeBytes = 0;
  bool freeKnown = false;
};

FolderInfo DescribeFolder(const std::string& path);

// Whether a file (the udev rules, ...) exists at `path`.
bool FileExists(const std::string& path);

// The name of the running user, for the fixes the report proposes.
std::string CurrentUserName();

}  // namespace talvex::platform
