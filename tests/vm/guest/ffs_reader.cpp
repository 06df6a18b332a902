// A card reader behind the reader's USB "driver": a FunctionFS function with
// one vendor-class interface, a bulk IN and a bulk OUT endpoint. Request
// frames arrive on bulk OUT (head and body may come in separate transfers),
// each answer goes back as one bulk IN transfer.
//
// With --hid it is a USB HID reader instead: a HID-class interface with the
// reader's 64-byte vendor report descriptor and an interrupt IN endpoint that
// never sends. Without an interrupt OUT endpoint usbhid sends output reports
// as SET_REPORT requests; they carry the request frames, and each GET_REPORT
// takes the next 64-byte piece of the answer (the kernel's own HID gadget
// answers GET_REPORT with zeros, so it cannot stand in for a reader).
//
//   vm-ffs-reader --dir FUNCTIONFS_MOUNT [--hid] [--ready FILE]
//                 [--sample KIND] [--no-card] [--log FILE]
//
// The descriptors are written to ep0 first; the --ready file appears once the
// endpoints exist, and the gadget can then be bound to its UDC.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "reader_core.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

struct InterfaceDescs {
  usb_interface_descriptor intf;
  usb_endpoint_descriptor_no_audio source;  // ep1: bulk IN, reader to host
  usb_endpoint_descriptor_no_audio sink;    // ep2: bulk OUT, host to reader
} __attribute__((packed));

struct Descriptors {
  usb_functionfs_descs_head_v2 header;
  __le32 fsCount;
  __le32 hsCount;
  InterfaceDescs fs;
  InterfaceDescs hs;
} __attribute__((packed));

constexpr char kInterfaceName[] = "Talvex reader";

struct Strings {
  usb_functionfs_strings_head header;
  __le16 language;
  char name[sizeof kInterfaceName];
} __attribute__((packed));

// The HID class descriptor, between the interface and its endpoint.
struct HidClassDesc {
  std::uint8_t bLength;
  std::uint8_t bDescriptorType;
  __le16 bcdHID;
  std::uint8_t bCountryCode;
  std::uint8_t bNumDescriptors;
  std::uint8_t bReportType;
  __le16 wReportLength;
} __attribute__((packed));

struct HidInterfaceDescs {
  usb_interface_descriptor intf;
  HidClassDesc hid;
  usb_endpoint_descriptor_no_audio in;  // ep1: interrupt IN, never sends
} __attribute__((packed));

struct HidDescriptors {
  usb_functionfs_descs_head_v2 header;
  __le32 fsCount;
  __le32 hsCount;
  HidInterfaceDescs fs;
  HidInterfaceDescs hs;
} __attribute__((packed));

constexpr std::size_t kReportBytes = 64;

// Vendor page 0xFF00: one 64-byte input and one 64-byte output report, no IDs.
constexpr std::uint8_t kReportDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01,
                                              0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                                              0x81, 0x02, 0x09, 0x01, 0x95, 0x40, 0x91, 0x02, 0xC0};

constexpr std::uint8_t kHidDescriptorType = 0x21;
constexpr std::uint8_t kReportDescriptorType = 0x22;
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint8_t kSetReport = 0x09;

HidInterfaceDescs MakeHidInterface(std::uint8_t interval) {
  HidInterfaceDescs d = {};
  d.intf.bLength = sizeof d.intf;
  d.intf.bDescriptorType = USB_DT_INTERFACE;
  d.intf.bNumEndpoints = 1;
  d.intf.bInterfaceClass = USB_CLASS_HID;
  d.intf.iInterface = 1;
  d.hid.bLength = sizeof d.hid;
  d.hid.bDescriptorType = kHidDescriptorType;
  d.hid.bcdHID = htole16(0x0111);
  d.hid.bNumDescriptors = 1;
  d.hid.bReportType = kReportDescriptorType;
  d.hid.wReportLength = htole16(sizeof kReportDescriptor);
  d.in.bLength = sizeof d.in;
  d.in.bDescriptorType = USB_DT_ENDPOINT;
  d.in.bEndpointAddress = 1 | USB_DIR_IN;
  d.in.bmAttributes = USB_ENDPOINT_XFER_INT;
  d.in.wMaxPacketSize = htole16(kReportBytes);
  d.in.bInterval = interval;
  return d;
}

InterfaceDescs MakeInterface(std::uint16_t maxPacket) {
  InterfaceDescs d = {};
  d.intf.bLength = sizeof d.intf;
  d.intf.bDescriptorType = USB_DT_INTERFACE;
  d.intf.bNumEndpoints = 2;
  d.intf.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
  d.intf.iInterface = 1;
  d.source.bLength = sizeof d.source;
  d.source.bDescriptorType = USB_DT_ENDPOINT;
  d.source.bEndpointAddress = 1 | USB_DIR_IN;
  d.source.bmAttributes = USB_ENDPOINT_XFER_BULK;
  d.source.wMaxPacketSize = htole16(maxPacket);
  d.sink.bLength = sizeof d.sink;
  d.sink.bDescriptorType = USB_DT_ENDPOINT;
  d.sink.bEndpointAddress = 2 | USB_DIR_OUT;
  d.sink.bmAttributes = USB_ENDPOINT_XFER_BULK;
  d.sink.wMaxPacketSize = htole16(maxPacket);
  return d;
}

bool WriteAll(int fd, const void* data, std::size_t size, const char* what) {
  ssize_t n = write(fd, data, size);
  if (n != static_cast<ssize_t>(size)) {
    std::fprintf(stderr, "vm-ffs-reader: writing %s: %s\n", what, std::strerror(errno));
    return false;
  }
  return true;
}

// ep0 must be read for the function to see its events; control requests of
// our own are not part of the reader, so any setup request is stalled.
void ServeEp0(int ep0) {
  usb_functionfs_event events[4];
  while (!g_stop) {
    ssize_t n = read(ep0, events, sizeof events);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      if (events[i].type != FUNCTIONFS_SETUP) continue;
      char dummy;
      // An access against the request's direction stalls it.
      if (events[i].u.setup.bRequestType & USB_DIR_IN) {
        (void)!read(ep0, &dummy, 0);
      } else {
        (void)!write(ep0, &dummy, 0);
      }
    }
  }
}

// The HID reader lives entirely on ep0. Returns when the program is stopped.
void ServeHidEp0(int ep0, talvex::vm::ReaderCore& core) {
  talvex::vm::RequestCollector collector;
  std::deque<std::vector<std::uint8_t>> pending;  // input reports not yet fetched
  usb_functionfs_event events[4];
  std::uint8_t data[512];
  while (!g_stop) {
    ssize_t n = read(ep0, events, sizeof events);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      if (events[i].type == FUNCTIONFS_DISABLE || events[i].type == FUNCTIONFS_UNBIND) {
        // The host went away: a half-sent frame will not be finished.
        collector.Reset();
        pending.clear();
        continue;
      }
      if (events[i].type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest& setup = events[i].u.setup;
      const std::size_t length = le16toh(setup.wLength);
      const std::uint8_t descType = le16toh(setup.wValue) >> 8;
      const bool in = setup.bRequestType & USB_DIR_IN;
      const std::uint8_t type = setup.bRequestType & USB_TYPE_MASK;
      const void* answer = nullptr;
      std::size_t answerSize = 0;
      HidClassDesc hid = MakeHidInterface(1).hid;
      if (in && type == USB_TYPE_STANDARD && setup.bRequest == USB_REQ_GET_DESCRIPTOR &&
          descType == kReportDescriptorType) {
        answer = kReportDescriptor;
        answerSize = sizeof kReportDescriptor;
      } else if (in && type == USB_TYPE_STANDARD && setup.bRequest == USB_REQ_GET_DESCRIPTOR &&
                 descType == kHidDescriptorType) {
        answer = &hid;
        answerSize = sizeof hid;
      } else if (in && type == USB_TYPE_CLASS && setup.bRequest == kGetReport && !pending.empty()) {
        answer = pending.front().data();
        answerSize = kReportBytes;
      } else if (!in && type == USB_TYPE_CLASS && length <= sizeof data) {
        // SET_REPORT carries a request piece; SET_IDLE and the like are just taken.
        ssize_t got = read(ep0, data, length);
        if (got < 0 || setup.bRequest != kSetReport) continue;
        std::vector<std::uint8_t> frame;
        if (!collector.Add(data, static_cast<std::size_t>(got), &frame)) continue;
        std::vector<std::uint8_t> response = core.Handle(frame);
        pending.clear();
        for (std::size_t off = 0; off < response.size(); off += kReportBytes) {
          std::vector<std::uint8_t> report(kReportBytes, 0);
          std::memcpy(report.data(), response.data() + off,
                      std::min(kReportBytes, response.size() - off));
          pending.push_back(std::move(report));
        }
        continue;
      }
      char dummy;
      if (answer == nullptr) {
        // Anything else (GET_REPORT with nothing to give among them) is
        // stalled: an access against the request's direction does that.
        if (in) {
          (void)!read(ep0, &dummy, 0);
        } else {
          (void)!write(ep0, &dummy, 0);
        }
        continue;
      }
      if (write(ep0, answer, std::min(answerSize, length)) >= 0 && setup.bRequest == kGetReport &&
          type == USB_TYPE_CLASS) {
        pending.pop_front();
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  talvex::vm::ReaderOptions options;
  if (!talvex::vm::ParseReaderOptions(&argc, argv, &options)) return 2;
  std::string dir;
  std::string readyPath;
  bool hid = false;
  for (int i = 1; i < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--hid") {
      hid = true;
      --i;  // takes no value
    } else if (i + 1 >= argc) {
      dir.clear();
      break;
    } else if (a == "--dir") {
      dir = argv[i + 1];
    } else if (a == "--ready") {
      readyPath = argv[i + 1];
    } else {
      std::fprintf(stderr, "vm-ffs-reader: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr,
                 "usage: vm-ffs-reader --dir FUNCTIONFS_MOUNT [--hid] [--ready FILE] ...\n");
    return 2;
  }
  auto core = talvex::vm::ReaderCore::Create(options);
  if (!core) return 2;

  struct sigaction sa = {};
  sa.sa_handler = OnSignal;  // no SA_RESTART: a blocked read returns EINTR
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int ep0 = open((dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (ep0 < 0) {
    std::perror("open ep0");
    return 1;
  }
  Strings strings = {};
  strings.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
  strings.header.length = htole32(sizeof strings);
  strings.header.str_count = htole32(1);
  strings.header.lang_count = htole32(1);
  strings.language = htole16(0x0409);
  std::memcpy(strings.name, kInterfaceName, sizeof kInterfaceName);

  if (hid) {
    HidDescriptors descs = {};
    descs.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    descs.header.length = htole32(sizeof descs);
    descs.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    descs.fsCount = htole32(3);
    descs.hsCount = htole32(3);
    descs.fs = MakeHidInterface(1);  // 1 ms
    descs.hs = MakeHidInterface(4);  // 2^(4-1) microframes: 1 ms
    if (!WriteAll(ep0, &descs, sizeof descs, "descriptors") ||
        !WriteAll(ep0, &strings, sizeof strings, "strings")) {
      return 1;
    }
    if (!readyPath.empty() && !talvex::vm::WriteTextFile(readyPath, "ready\n")) return 1;
    ServeHidEp0(ep0, *core);
    close(ep0);
    return 0;
  }

  Descriptors descs = {};
  descs.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  descs.header.length = htole32(sizeof descs);
  descs.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  descs.fsCount = htole32(3);
  descs.hsCount = htole32(3);
  descs.fs = MakeInterface(64);
  descs.hs = MakeInterface(512);
  if (!WriteAll(ep0, &descs, sizeof descs, "descriptors") ||
      !WriteAll(ep0, &strings, sizeof strings, "strings")) {
    return 1;
  }
  int epIn = open((dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
  int epOut = open((dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
  if (epIn < 0 || epOut < 0) {
    std::perror("open endpoints");
    return 1;
  }
  std::thread control(ServeEp0, ep0);
  control.detach();  // ends with the process
  if (!readyPath.empty() && !talvex::vm::WriteTextFile(readyPath, "ready\n")) return 1;

  talvex::vm::RequestCollector collector;
  std::vector<std::uint8_t> buffer(4096);
  while (!g_stop) {
    ssize_t n = read(epOut, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      // Not yet enabled by the host, or the host went away: wait and retry.
      collector.Reset();
      usleep(20000);
      continue;
    }
    std::vector<std::uint8_t> frame;
    if (!collector.Add(buffer.data(), static_cast<std::size_t>(n), &frame)) continue;
    std::vector<std::uint8_t> response = core->Handle(frame);
    if (response.empty()) continue;
    ssize_t w = write(epIn, response.data(), response.size());
    if (w != static_cast<ssize_t>(response.size())) {
      std::fprintf(stderr, "vm-ffs-reader: answer not taken: %s\n", std::strerror(errno));
    }
  }
  close(epIn);
  close(epOut);
  close(ep0);
  return 0;
}
