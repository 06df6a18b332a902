// A card reader behind the reader's USB "driver": a FunctionFS function with
// one vendor-class interface, a bulk IN and a bulk OUT endpoint. Request
// frames arrive on bulk OUT (head and body may come in separate transfers),
// each answer goes back as one bulk IN transfer.
//
//   vm-ffs-reader --dir FUNCTIONFS_MOUNT [--ready FILE]
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

#include <cerrno>
#include <cstdio>
#include <cstring>
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

}  // namespace

int main(int argc, char** argv) {
  talvex::vm::ReaderOptions options;
  if (!talvex::vm::ParseReaderOptions(&argc, argv, &options)) return 2;
  std::string dir;
  std::string readyPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--dir") {
      dir = argv[i + 1];
    } else if (a == "--ready") {
      readyPath = argv[i + 1];
    } else {
      std::fprintf(stderr, "vm-ffs-reader: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (dir.empty() || argc % 2 == 0) {
    std::fprintf(stderr, "usage: vm-ffs-reader --dir FUNCTIONFS_MOUNT [--ready FILE] ...\n");
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
  Descriptors descs = {};
  descs.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  descs.header.length = htole32(sizeof descs);
  descs.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  descs.fsCount = htole32(3);
  descs.hsCount = htole32(3);
  descs.fs = MakeInterface(64);
  descs.hs = MakeInterface(512);
  Strings strings = {};
  strings.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
  strings.header.length = htole32(sizeof strings);
  strings.header.str_count = htole32(1);
  strings.header.lang_count = htole32(1);
  strings.language = htole16(0x0409);
  std::memcpy(strings.name, kInterfaceName, sizeof kInterfaceName);
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
