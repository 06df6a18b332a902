// Linux HID backend over hidraw.
//
// Strings: a HID device on USB answers with its USB device's "manufacturer"
// and "product" attributes from sysfs (the USB string descriptors, which the
// kernel hands out as UTF-8). Any other HID device (Bluetooth, virtual) has
// only the name the kernel gives it, HIDIOCGRAWNAME, which then stands for
// both strings.
//
// Report lengths: computed from the report descriptor (HIDIOCGRDESC, or the
// sysfs report_descriptor attribute when the node refuses the request).
//
// Reports: HIDIOCSOUTPUT and HIDIOCGINPUT (Linux 5.11 and later). The kernel
// counts the report ID byte in what it returns; the transfer counts handed up
// are payload bytes.
#include "platform/posix/hidraw_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/hid_descriptor.h"
#include "platform/posix/unique_dir.h"
#include "platform/posix/unique_fd.h"
#include "platform/utf.h"

#ifndef HIDIOCSOUTPUT
#define HIDIOCSOUTPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0B, len)
#endif
#ifndef HIDIOCGINPUT
#define HIDIOCGINPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0A, len)
#endif

namespace talvex::platform::posix {
namespace {

constexpr std::size_t kMaxDescriptorSize = 4096;  // HID_MAX_DESCRIPTOR_SIZE
constexpr char kNodePrefix[] = "hidraw";
constexpr std::size_t kNodePrefixLength = sizeof kNodePrefix - 1;
// The kernel's bus number for USB in HID_ID (BUS_USB).
constexpr unsigned long kBusUsb = 0x03;
// How far above the HID device its USB device may sit (interface, device).
constexpr int kMaxParentLevels = 6;

// "hidrawN" with N a plain decimal number; false for anything else.
bool ParseNodeName(const char* name, unsigned long* number) {
  if (std::strncmp(name, kNodePrefix, kNodePrefixLength) != 0) return false;
  const char* digits = name + kNodePrefixLength;
  const std::size_t count = std::strlen(digits);
  if (count == 0 || count > 9) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return false;
  }
  *number = std::strtoul(digits, nullptr, 10);
  return true;
}

bool ReadFile(const std::string& path, std::size_t limit, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->clear();
  char chunk[512];
  while (out->size() < limit) {
    in.read(chunk, static_cast<std::streamsize>(std::min(sizeof chunk, limit - out->size())));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    out->append(chunk, static_cast<std::size_t>(got));
  }
  return !in.bad();
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

class HidrawDevice : public HidDevice {
 public:
  HidrawDevice(UniqueFd&& fd, std::string sysfsDevice)
      : fd_(std::move(fd)), sysfsDevice_(std::move(sysfsDevice)) {
    FindUsbParent();
  }

  bool GetManufacturerString(std::uint8_t (&buffer)[kHidStringBufferSize]) override {
    return GetString("manufacturer", buffer);
  }
  bool GetProductString(std::uint8_t (&buffer)[kHidStringBufferSize]) override {
    return GetString("product", buffer);
  }

  bool GetReportLengths(std::uint16_t* inputLength, std::uint16_t* outputLength) override {
    std::uint8_t descriptor[kMaxDescriptorSize];
    std::size_t size = 0;
    if (!ReadDescriptor(descriptor, &size)) return false;
    HidReportLengths lengths;
    if (!ComputeHidReportLengths(descriptor, size, &lengths)) return false;
    *inputLength = lengths.input;
    *outputLength = lengths.output;
    return true;
  }

  bool SetOutputReport(const std::uint8_t (&report)[kHidReportSize],
                       std::uint32_t* transferred) override {
    std::uint8_t buffer[kHidReportSize];
    std::memcpy(buffer, report, sizeof buffer);
    buffer[0] = 0;
    const int rc = ::ioctl(fd_.get(), HIDIOCSOUTPUT(kHidReportSize), buffer);
    if (rc < 0) return false;
    *transferred = rc > 0 ? static_cast<std::uint32_t>(rc) - 1 : 0;
    return true;
  }

  bool GetInputReport(std::uint8_t (&report)[kHidReportSize], std::uint32_t* transferred) override {
    std::memset(report, 0, kHidReportSize);  // byte 0: report ID 0
    const int rc = ::ioctl(fd_.get(), HIDIOCGINPUT(kHidReportSize), report);
    if (rc < 0) return false;
    *transferred = rc > 0 ? static_cast<std::uint32_t>(rc) - 1 : 0;
    return true;
  }

 private:
  // A HID device on USB names its bus 0003 in the HID_ID line of its uevent;
  // its USB device is the nearest directory above with an idVendor attribute.
  void FindUsbParent() {
    std::string uevent;
    if (!ReadFile(sysfsDevice_ + "/uevent", 64 * 1024, &uevent)) return;
    const std::size_t at = uevent.find("HID_ID=");
    if (at == std::string::npos) return;
    if (std::strtoul(uevent.c_str() + at + 7, nullptr, 16) != kBusUsb) return;
    std::string dir = sysfsDevice_;
    for (int level = 0; level < kMaxParentLevels && dir != "/"; ++level) {
      dir = Parent(dir);
      if (Exists(dir + "/idVendor")) {
        usbDevice_ = dir;
        return;
      }
    }
  }

  bool GetString(const char* attribute, std::uint8_t (&buffer)[kHidStringBufferSize]) {
    std::string text;
    if (!usbDevice_.empty()) {
      if (!ReadFile(usbDevice_ + "/" + attribute, 4096, &text)) return false;
    } else {
      char name[256] = {};
      const int rc = ::ioctl(fd_.get(), HIDIOCGRAWNAME(sizeof name - 1), name);
      if (rc < 0) return false;
      text.assign(name, strnlen(name, sizeof name));
    }
    WriteHidString(text, buffer);
    return true;
  }

  bool ReadDescriptor(std::uint8_t (&descriptor)[kMaxDescriptorSize], std::size_t* size) {
    int descriptorSize = 0;
    if (::ioctl(fd_.get(), HIDIOCGRDESCSIZE, &descriptorSize) == 0 && descriptorSize >= 0 &&
        static_cast<std::size_t>(descriptorSize) <= kMaxDescriptorSize) {
      hidraw_report_descriptor request;
      std::memset(&request, 0, sizeof request);
      request.size = static_cast<std::uint32_t>(descriptorSize);
      if (::ioctl(fd_.get(), HIDIOCGRDESC, &request) == 0) {
        std::memcpy(descriptor, request.value, request.size);
        *size = request.size;
        return true;
      }
    }
    // Not a hidraw node that answers (or an older kernel): sysfs has the same bytes.
    std::string bytes;
    if (!ReadFile(sysfsDevice_ + "/report_descriptor", kMaxDescriptorSize + 1, &bytes)) {
      return false;
    }
    if (bytes.size() > kMaxDescriptorSize) return false;
    std::memcpy(descriptor, bytes.data(), bytes.size());
    *size = bytes.size();
    return true;
  }

  UniqueFd fd_;
  std::string sysfsDevice_;  // the HID device's sysfs directory
  std::string usbDevice_;    // its USB device's sysfs directory, "" when not on USB
};

}  // namespace

void WriteHidString(const std::string& utf8, std::uint8_t (&buffer)[kHidStringBufferSize]) {
  std::string_view text(utf8);
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  std::u16string units = Utf8ToUtf16(text);
  const std::size_t maxUnits = kHidStringBufferSize / 2 - 1;
  if (units.size() > maxUnits) units.resize(maxUnits);
  units.push_back(u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    buffer[2 * i] = static_cast<std::uint8_t>(units[i] & 0xFF);
    buffer[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
  }
}

HidrawBackend::HidrawBackend(std::string classDirectory, std::string deviceDirectory)
    : classDirectory_(std::move(classDirectory)), deviceDirectory_(std::move(deviceDirectory)) {}

bool HidrawBackend::Enumerate(std::vector<DeviceInterface>* out) {
  out->clear();
  std::vector<std::pair<unsigned long, std::string>> nodes;
  {
    const UniqueDir dir(::opendir(classDirectory_.c_str()));
    if (!dir) return errno == ENOENT;  // no hidraw at all: no devices
    while (const dirent* entry = ::readdir(dir.get())) {
      unsigned long number = 0;
      if (ParseNodeName(entry->d_name, &number)) nodes.emplace_back(number, entry->d_name);
    }
  }
  std::sort(nodes.begin(), nodes.end());
  for (const auto& node : nodes) {
    out->push_back(DeviceInterface{deviceDirectory_ + "/" + node.second, kHidClassGuid});
  }
  return true;
}

std::unique_ptr<HidDevice> HidrawBackend::Open(const DeviceInterface& device) {
  const std::size_t slash = device.path.find_last_of('/');
  const std::string name = slash == std::string::npos ? device.path : device.path.substr(slash + 1);
  unsigned long number = 0;
  if (!ParseNodeName(name.c_str(), &number)) return nullptr;

  // The HID device behind the node, with symlinks resolved so that its
  // parents are the real sysfs parents. Worked out before the node is opened:
  // nothing that may run out of memory stands between the open and the
  // device object that closes it.
  std::string sysfsDevice = classDirectory_ + "/" + name + "/device";
  if (char* resolved = ::realpath(sysfsDevice.c_str(), nullptr)) {
    const std::unique_ptr<char, decltype(&std::free)> owned(resolved, &std::free);
    sysfsDevice = resolved;
  }

  UniqueFd fd(::open(device.path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return nullptr;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return nullptr;  // another program holds it
  // The device owns the descriptor from its first member on, so it is closed
  // even when the constructor's sysfs reading runs out of memory.
  return std::unique_ptr<HidDevice>(new (std::nothrow)
                                        HidrawDevice(std::move(fd), std::move(sysfsDevice)));
}

}  // namespace talvex::platform::posix

namespace talvex::platform {

HidBackend& SystemHidBackend() {
  static posix::HidrawBackend backend("/sys/class/hidraw", "/dev");
  return backend;
}

}  // namespace talvex::platform
