// Linux USB reader "driver": on Windows the reader's own kernel driver owns
// the device and answers four control requests; here a small layer over
// libusb does the same job.
//
// Identity: a USB device is a reader when udev tagged its node with
// TALVEX_READER=1 (the packaged rules file does that by vendor and product
// ID). The tag is read from udev's database, /run/udev/data/c<major>:<minor>,
// so nothing beyond libusb is needed. Untagged devices are never listed and
// never opened.
//
// Open: the first interface of vendor class (0xFF) with a bulk OUT and a bulk
// IN endpoint is claimed (a kernel driver bound to it is detached while we
// hold it). A device another program has claimed does not open.
//
// Sends: the head is kept until the body arrives, and the whole request then
// leaves in one bulk OUT transfer. Receives: whole packets are read and
// buffered, so that 7 bytes and then LEN bytes can be handed out (usb_bulk.h).
// Every send and every receive request has 3 seconds.
#include "platform/posix/usb_posix.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/posix/usb_bulk.h"
#include "platform/usb.h"

#ifdef TALVEX_HAVE_LIBUSB
#include <libusb.h>

#include <cstring>
#include <new>
#include <utility>

#include "platform/posix/usb_handle_posix.h"
#endif

namespace talvex::platform::posix {

bool UdevDeviceHasProperty(const std::string& udevDataDirectory, unsigned major, unsigned minor,
                           std::string_view property) {
  const std::string path =
      udevDataDirectory + "/c" + std::to_string(major) + ":" + std::to_string(minor);
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() == property.size() + 2 && line.compare(0, 2, "E:") == 0 &&
        line.compare(2, std::string::npos, property) == 0) {
      return true;
    }
  }
  return false;
}

bool UsbNodeIsReader(const std::string& devicePath, const std::string& udevDataDirectory) {
  struct stat st;
  if (::stat(devicePath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  return UdevDeviceHasProperty(udevDataDirectory, major(st.st_rdev), minor(st.st_rdev),
                               "TALVEX_READER=1");
}

namespace {

#ifdef TALVEX_HAVE_LIBUSB

constexpr char kUsbDeviceDirectory[] = "/dev/bus/usb";
constexpr char kUdevDataDirectory[] = "/run/udev/data";

constexpr std::uint32_t kMaxRequestFrame = 4096;
constexpr std::uint32_t kMaxResponsePiece = 2361;  // the largest LEN

// One libusb context for the process, made on first use and only where
// there is USB at all.
class UsbContext {
 public:
  static libusb_context* Get() {
    static UsbContext instance;
    return instance.context_;
  }
  ~UsbContext() {
    if (context_ != nullptr) libusb_exit(context_);
  }

 private:
  UsbContext() {
    if (libusb_init(&context_) != 0) context_ = nullptr;
  }
  libusb_context* context_ = nullptr;
};

std::string NodePath(unsigned bus, unsigned address) {
  char path[64];
  std::snprintf(path, sizeof path, "%s/%03u/%03u", kUsbDeviceDirectory, bus, address);
  return path;
}

class LibusbInPipe : public BulkInPipe {
 public:
  LibusbInPipe(libusb_device_handle* handle, unsigned char endpoint)
      : handle_(handle), endpoint_(endpoint) {}
  Status Read(std::uint8_t* data, std::uint32_t capacity, std::uint32_t timeoutMs,
              std::uint32_t* got) override {
    int actual = 0;
    const int rc = libusb_bulk_transfer(handle_, endpoint_, data, static_cast<int>(capacity),
                                        &actual, timeoutMs);
    *got = actual > 0 ? static_cast<std::uint32_t>(actual) : 0;
    if (rc == 0) return Status::kOk;
    if (rc == LIBUSB_ERROR_TIMEOUT) return Status::kTimeout;
    return Status::kFailed;
  }

 private:
  libusb_device_handle* handle_;
  unsigned char endpoint_;
};

struct ReaderInterface {
  int number = -1;
  int altSetting = 0;
  unsigned char outEndpoint = 0;
  unsigned char inEndpoint = 0;
  std::uint32_t inPacketSize = 0;
};

bool FindReaderInterface(libusb_device* device, ReaderInterface* found) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
  bool ok = false;
  for (int i = 0; i < config->bNumInterfaces && !ok; ++i) {
    const libusb_interface& iface = config->interface[i];
    for (int a = 0; a < iface.num_altsetting && !ok; ++a) {
      const libusb_interface_descriptor& alt = iface.altsetting[a];
      if (alt.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC) continue;
      ReaderInterface candidate;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
        if (in && candidate.inEndpoint == 0) {
          candidate.inEndpoint = ep.bEndpointAddress;
          candidate.inPacketSize = ep.wMaxPacketSize & 0x7FF;
        } else if (!in && candidate.outEndpoint == 0) {
          candidate.outEndpoint = ep.bEndpointAddress;
        }
      }
      if (candidate.inEndpoint != 0 && candidate.outEndpoint != 0) {
        candidate.number = alt.bInterfaceNumber;
        candidate.altSetting = alt.bAlternateSetting;
        *found = candidate;
        ok = true;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return ok;
}

class LibusbDevice : public UsbDevice {
 public:
  // Takes the handle with the reader interface claimed on it; both are given
  // back when the device goes, also when this constructor runs out of memory.
  LibusbDevice(UsbDeviceHandle&& handle, const ReaderInterface& iface)
      : handle_(std::move(handle)),
        iface_(iface),
        pipe_(handle_.get(), iface.inEndpoint),
        received_(iface.inPacketSize, kMaxResponsePiece) {
    request_.reserve(kMaxRequestFrame);
  }

  bool SendHead(const std::uint8_t* data, std::uint32_t size) override {
    if (size > kMaxRequestFrame) return false;
    request_.assign(data, data + size);
    return true;
  }

  bool SendBody(const std::uint8_t* data, std::uint32_t size) override {
    if (request_.size() + size > kMaxRequestFrame) return false;
    request_.insert(request_.end(), data, data + size);
    // A new request: whatever is left of an earlier answer no longer belongs.
    received_.Discard();
    int actual = 0;
    const int rc =
        libusb_bulk_transfer(handle_.get(), iface_.outEndpoint, request_.data(),
                             static_cast<int>(request_.size()), &actual, kUsbSendTimeoutMs);
    request_.clear();
    return rc == 0;
  }

  bool ReceiveHead(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    return received_.Receive(pipe_, data, size, kUsbReceiveTimeoutMs, transferred);
  }
  bool ReceiveBody(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    return received_.Receive(pipe_, data, size, kUsbReceiveTimeoutMs, transferred);
  }

 private:
  UsbDeviceHandle handle_;
  ReaderInterface iface_;
  LibusbInPipe pipe_;
  BulkReceiveBuffer received_;
  std::vector<std::uint8_t> request_;
};

class LibusbBackend : public UsbBackend {
 public:
  bool Enumerate(std::vector<DeviceInterface>* out) override {
    out->clear();
    // No USB device directory: no USB here at all, and no context is made.
    if (::access(kUsbDeviceDirectory, F_OK) != 0) return true;
    libusb_context* context = UsbContext::Get();
    if (context == nullptr) return true;
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(context, &raw);
    if (count < 0) return false;
    const UsbDeviceList list(raw);
    for (ssize_t i = 0; i < count; ++i) {
      const std::string path =
          NodePath(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
      if (UsbNodeIsReader(path, kUdevDataDirectory)) {
        out->push_back(DeviceInterface{path, kReaderDriverClassGuid});
      }
    }
    return true;
  }

  std::unique_ptr<UsbDevice> Open(const DeviceInterface& device) override {
    unsigned bus = 0;
    unsigned address = 0;
    char tail = 0;
    const std::string prefix = std::string(kUsbDeviceDirectory) + "/";
    if (device.path.compare(0, prefix.size(), prefix) != 0 ||
        std::sscanf(device.path.c_str() + prefix.size(), "%u/%u%c", &bus, &address, &tail) != 2) {
      return nullptr;
    }
    if (!UsbNodeIsReader(device.path, kUdevDataDirectory)) return nullptr;
    libusb_context* context = UsbContext::Get();
    if (context == nullptr) return nullptr;

    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(context, &raw);
    if (count < 0) return nullptr;
    const UsbDeviceList list(raw);
    for (ssize_t i = 0; i < count; ++i) {
      if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
        return OpenReader(list[i]);
      }
    }
    return nullptr;
  }

 private:
  static std::unique_ptr<UsbDevice> OpenReader(libusb_device* device) {
    ReaderInterface iface;
    if (!FindReaderInterface(device, &iface)) return nullptr;
    libusb_device_handle* raw = nullptr;
    if (libusb_open(device, &raw) != 0) return nullptr;
    UsbDeviceHandle handle(raw);
    libusb_set_auto_detach_kernel_driver(handle.get(), 1);
    if (!handle.Claim(iface.number)) return nullptr;  // held by another program
    if (iface.altSetting != 0 &&
        libusb_set_interface_alt_setting(handle.get(), iface.number, iface.altSetting) != 0) {
      return nullptr;
    }
    // The device's buffers are allocated by its constructor; when they (or
    // the object) cannot be had, the owner gives back the claimed interface
    // and the handle.
    try {
      return std::unique_ptr<UsbDevice>(new LibusbDevice(std::move(handle), iface));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
};

bool ListReaderLike(std::vector<UsbReaderLike>* out) {
  out->clear();
  if (::access(kUsbDeviceDirectory, F_OK) != 0) return true;
  libusb_context* context = UsbContext::Get();
  if (context == nullptr) return true;
  libusb_device** raw = nullptr;
  const ssize_t count = libusb_get_device_list(context, &raw);
  if (count < 0) return false;
  const UsbDeviceList list(raw);
  for (ssize_t i = 0; i < count; ++i) {
    ReaderInterface iface;
    libusb_device_descriptor descriptor;
    if (!FindReaderInterface(list[i], &iface) ||
        libusb_get_device_descriptor(list[i], &descriptor) != 0) {
      continue;
    }
    UsbReaderLike device;
    device.path = NodePath(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
    device.vendor = descriptor.idVendor;
    device.product = descriptor.idProduct;
    device.tagged = UsbNodeIsReader(device.path, kUdevDataDirectory);
    out->push_back(device);
  }
  return true;
}

#else  // built without libusb: there is never a USB reader

class LibusbBackend : public UsbBackend {
 public:
  bool Enumerate(std::vector<DeviceInterface>* out) override {
    out->clear();
    return true;
  }
  std::unique_ptr<UsbDevice> Open(const DeviceInterface&) override { return nullptr; }
};

bool ListReaderLike(std::vector<UsbReaderLike>* out) {
  out->clear();
  return true;
}

#endif

}  // namespace
}  // namespace talvex::platform::posix

namespace talvex::platform {

UsbBackend& SystemUsbBackend() {
  static posix::LibusbBackend backend;
  return backend;
}

bool ListReaderLikeUsbDevices(std::vector<UsbReaderLike>* out) {
  return posix::ListReaderLike(out);
}

}  // namespace talvex::platform
