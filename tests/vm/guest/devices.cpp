// The system's HID and USB backends, driven without the service.
//
//   vm-devices hid
//     Lists every HID device interface with the strings and report lengths
//     the backend reads for it, then runs the HID reader discovery:
//       device <path> manufacturer=<text> product=<text> input=<n> output=<n>
//       device <path> unopened
//       reader found input=<n> output=<n>     (or: reader none)
//   vm-devices hold-hid PATH READY_FILE
//   vm-devices hold-usb PATH READY_FILE
//     Opens the device as the service would (exclusively) and keeps it open
//     until SIGTERM: "another program holds it". READY_FILE is written once
//     it is held; the program fails at once when the device does not open.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/usb.h"
#include "platform/utf.h"
#include "reader/hid.h"
#include "reader_core.h"

namespace {

std::string StringOf(const std::uint8_t (&buffer)[talvex::platform::kHidStringBufferSize]) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < sizeof buffer; i += 2) {
    char16_t unit = static_cast<char16_t>(buffer[i] | buffer[i + 1] << 8);
    if (unit == 0) break;
    text += unit;
  }
  return talvex::Utf16ToUtf8(text);
}

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

template <typename Device>
int Hold(std::unique_ptr<Device> device, const char* path, const char* readyPath) {
  if (!device) {
    std::fprintf(stderr, "vm-devices: %s does not open\n", path);
    return 1;
  }
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (!talvex::vm::WriteTextFile(readyPath, std::string(path) + "\n")) return 1;
  while (!g_stop) pause();
  return 0;
}

int ListHid() {
  using namespace talvex::platform;
  HidBackend& backend = SystemHidBackend();
  std::vector<DeviceInterface> devices;
  if (!backend.Enumerate(&devices)) {
    std::printf("enumeration failed\n");
    return 1;
  }
  for (const DeviceInterface& d : devices) {
    std::unique_ptr<HidDevice> dev = backend.Open(d);
    if (!dev) {
      std::printf("device %s unopened\n", d.path.c_str());
      continue;
    }
    std::uint8_t manufacturer[kHidStringBufferSize] = {};
    std::uint8_t product[kHidStringBufferSize] = {};
    std::uint16_t in = 0, out = 0;
    bool okM = dev->GetManufacturerString(manufacturer);
    bool okP = dev->GetProductString(product);
    bool okL = dev->GetReportLengths(&in, &out);
    std::printf("device %s manufacturer=%s product=%s input=%d output=%d\n", d.path.c_str(),
                okM ? StringOf(manufacturer).c_str() : "(failed)",
                okP ? StringOf(product).c_str() : "(failed)", okL ? in : -1, okL ? out : -1);
  }
  std::unique_ptr<HidDevice> reader = talvex::FindHidReader();
  if (!reader) {
    std::printf("reader none\n");
    return 0;
  }
  std::uint16_t in = 0, out = 0;
  reader->GetReportLengths(&in, &out);
  std::printf("reader found input=%d output=%d\n", in, out);
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  using namespace talvex::platform;
  if (argc == 2 && std::strcmp(argv[1], "hid") == 0) return ListHid();
  if (argc == 4 && std::strcmp(argv[1], "hold-hid") == 0) {
    return Hold(SystemHidBackend().Open(DeviceInterface{argv[2], kHidClassGuid}), argv[2], argv[3]);
  }
  if (argc == 4 && std::strcmp(argv[1], "hold-usb") == 0) {
    return Hold(SystemUsbBackend().Open(DeviceInterface{argv[2], kReaderDriverClassGuid}), argv[2],
                argv[3]);
  }
  std::fprintf(stderr, "usage: vm-devices hid | hold-hid PATH READY | hold-usb PATH READY\n");
  return 2;
}
