// A card reader made of a kernel uhid device: a vendor-defined HID device
// with one input and one output report of --report-bytes bytes (64 for a
// reader, 32 for the "wrong report size" case). Output reports carry request
// frames; get-input-report requests fetch the answer in report-sized pieces.
//
//   vm-uhid-reader [--name NAME] [--report-bytes N] [--ready FILE]
//                  [--sample KIND] [--no-card] [--log FILE]
//
// Once the kernel has made the hidraw node, its name ("hidraw0") is written to
// the --ready file. The device lives until the program gets SIGTERM or SIGINT;
// closing /dev/uhid unplugs it.
#include <dirent.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "reader_core.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

// Vendor page 0xFF00, one application collection holding an 8-bit input and
// an 8-bit output array of `count` elements; no report IDs.
std::vector<std::uint8_t> VendorDescriptor(unsigned count) {
  return {0x06, 0x00,
          0xFF,        // Usage Page (Vendor 0xFF00)
          0x09, 0x01,  // Usage (1)
          0xA1, 0x01,  // Collection (Application)
          0x09, 0x01,  //   Usage (1)
          0x15, 0x00,  //   Logical Minimum (0)
          0x26, 0xFF,
          0x00,                                    //   Logical Maximum (255)
          0x75, 0x08,                              //   Report Size (8)
          0x95, static_cast<std::uint8_t>(count),  //   Report Count (count)
          0x81, 0x02,                              //   Input (Data, Var, Abs)
          0x09, 0x01,                              //   Usage (1)
          0x95, static_cast<std::uint8_t>(count),  //   Report Count (count)
          0x91, 0x02,                              //   Output (Data, Var, Abs)
          0xC0};                                   // End Collection
}

bool WriteEvent(int fd, const uhid_event& ev) {
  ssize_t n = write(fd, &ev, sizeof ev);
  if (n != static_cast<ssize_t>(sizeof ev)) {
    std::perror("uhid write");
    return false;
  }
  return true;
}

// The hidraw node whose HID device carries our unique tag, or "".
std::string FindHidrawNode(const std::string& uniq) {
  DIR* dir = opendir("/sys/class/hidraw");
  if (dir == nullptr) return "";
  std::string found;
  while (dirent* e = readdir(dir)) {
    if (std::strncmp(e->d_name, "hidraw", 6) != 0) continue;
    std::string path = std::string("/sys/class/hidraw/") + e->d_name + "/device/uevent";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) continue;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::string(line) == "HID_UNIQ=" + uniq + "\n") found = e->d_name;
    }
    std::fclose(f);
    if (!found.empty()) break;
  }
  closedir(dir);
  return found;
}

struct Args {
  std::string name = "KAVRO TalvexReaderDevice";
  unsigned reportBytes = 64;
  std::string readyPath;
};

bool ParseArgs(int argc, char** argv, Args* args) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "vm-uhid-reader: %s needs a value\n", a.c_str());
      return false;
    }
    if (a == "--name") {
      args->name = argv[++i];
    } else if (a == "--report-bytes") {
      args->reportBytes = static_cast<unsigned>(std::atoi(argv[++i]));
      if (args->reportBytes < 8 || args->reportBytes > 255) {
        std::fprintf(stderr, "vm-uhid-reader: report size out of range\n");
        return false;
      }
    } else if (a == "--ready") {
      args->readyPath = argv[++i];
    } else {
      std::fprintf(stderr, "vm-uhid-reader: unknown option %s\n", a.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  talvex::vm::ReaderOptions options;
  Args args;
  if (!talvex::vm::ParseReaderOptions(&argc, argv, &options) || !ParseArgs(argc, argv, &args)) {
    return 2;
  }
  auto core = talvex::vm::ReaderCore::Create(options);
  if (!core) return 2;

  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror("open /dev/uhid");
    return 1;
  }

  const std::string uniq = "talvex-vm-" + std::to_string(getpid());
  static uhid_event ev;  // 4 KiB payload: keep it off the stack
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_CREATE2;
  std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "%s",
                args.name.c_str());
  std::snprintf(reinterpret_cast<char*>(ev.u.create2.uniq), sizeof ev.u.create2.uniq, "%s",
                uniq.c_str());
  std::vector<std::uint8_t> rd = VendorDescriptor(args.reportBytes);
  std::memcpy(ev.u.create2.rd_data, rd.data(), rd.size());
  ev.u.create2.rd_size = static_cast<std::uint16_t>(rd.size());
  ev.u.create2.bus = 0x06;  // BUS_VIRTUAL: no USB parent, so no sysfs strings
  ev.u.create2.vendor = 0x1d6b;
  ev.u.create2.product = 0x0104;
  if (!WriteEvent(fd, ev)) return 1;

  // The kernel adds the HID device (and its hidraw node) from a worker.
  std::string node;
  for (int i = 0; i < 500 && node.empty() && !g_stop; ++i) {
    node = FindHidrawNode(uniq);
    if (node.empty()) usleep(10000);
  }
  if (node.empty()) {
    std::fprintf(stderr, "vm-uhid-reader: no hidraw node appeared\n");
    return 1;
  }
  if (!args.readyPath.empty() && !talvex::vm::WriteTextFile(args.readyPath, node + "\n")) return 1;

  talvex::vm::RequestCollector collector;
  std::deque<std::vector<std::uint8_t>> pending;  // input reports not yet fetched
  const std::size_t piece = args.reportBytes;

  while (!g_stop) {
    pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, 200);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    ssize_t n = read(fd, &ev, sizeof ev);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::perror("uhid read");
      break;
    }
    switch (ev.type) {
      case UHID_OUTPUT:
      case UHID_SET_REPORT: {
        const std::uint8_t* data;
        std::size_t size;
        if (ev.type == UHID_OUTPUT) {
          data = ev.u.output.data;
          size = ev.u.output.size;
        } else {
          data = ev.u.set_report.data;
          size = ev.u.set_report.size;
        }
        if (ev.type == UHID_SET_REPORT) {
          std::uint32_t id = ev.u.set_report.id;
          uhid_event reply = {};
          reply.type = UHID_SET_REPORT_REPLY;
          reply.u.set_report_reply.id = id;
          reply.u.set_report_reply.err = 0;
          WriteEvent(fd, reply);
        }
        // Byte 0 is the report ID (0: the reader numbers no reports).
        if (size < 1) break;
        std::vector<std::uint8_t> frame;
        if (collector.Add(data + 1, size - 1, &frame)) {
          std::vector<std::uint8_t> response = core->Handle(frame);
          pending.clear();
          for (std::size_t off = 0; off < response.size(); off += piece) {
            std::vector<std::uint8_t> report(piece, 0);
            std::size_t len = std::min(piece, response.size() - off);
            std::memcpy(report.data(), response.data() + off, len);
            pending.push_back(std::move(report));
          }
        }
        break;
      }
      case UHID_GET_REPORT: {
        std::uint32_t id = ev.u.get_report.id;
        std::uint8_t rtype = ev.u.get_report.rtype;
        static uhid_event reply;
        std::memset(&reply, 0, sizeof reply);
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = id;
        if (rtype != UHID_INPUT_REPORT || pending.empty()) {
          // Nothing to give: the host's get-input-report fails.
          reply.u.get_report_reply.err = EIO;
        } else {
          reply.u.get_report_reply.data[0] = 0;
          std::memcpy(reply.u.get_report_reply.data + 1, pending.front().data(), piece);
          reply.u.get_report_reply.size = static_cast<std::uint16_t>(piece + 1);
          pending.pop_front();
        }
        WriteEvent(fd, reply);
        break;
      }
      case UHID_CLOSE:
        // The host closed the hidraw node: a half-sent frame will not be finished.
        collector.Reset();
        pending.clear();
        break;
      default:
        break;  // START, STOP, OPEN
    }
  }
  uhid_event destroy = {};
  destroy.type = UHID_DESTROY;
  WriteEvent(fd, destroy);
  close(fd);
  return 0;
}
