// talvex-server-fakedev: the headless server with simulated HID and USB-driver
// readers in place of the system's devices, for end-to-end tests of the HID
// and USB stages of auto-detection. A test tool only: never installed.
//
//   talvex-server-fakedev [--hid] [--usb] [--sample resident|foreign|hmt] [--no-card]
//                         [--port N] [--request-ms N] [--headless]
//
// --hid adds a simulated HID reader (behind a keyboard that is no reader),
// --usb a simulated USB-driver reader (behind a device of another class).
// Serial ports stay the system's ($TALVEX_PORTS). --request-ms shortens the
// request limit (for a slow client's test); --headless is ignored. On a clean stop it prints
// one line with the frames each simulated reader answered, by command:
//   fakedev hid startup=1 probe=1 find=2 select=2 read=2 usb startup=0 ...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/headless.h"
#include "http/request_testing.h"
#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "support/fake-devices/fake_devices.h"

namespace {

using talvex::sim::Command;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: talvex-server-fakedev [--hid] [--usb] [--sample resident|foreign|hmt] "
               "[--no-card] [--port N] [--request-ms N]\n"
               "Test server: the headless service with simulated HID and USB-driver readers.\n");
}

void PrintCounts(const char* name, const talvex::sim::Engine& engine) {
  std::printf(" %s", name);
  for (Command c : {Command::Startup, Command::Probe, Command::FindCard, Command::SelectCard,
                    Command::ReadBaseMessage}) {
    std::printf(" %s=%llu", talvex::sim::CommandName(c),
                static_cast<unsigned long long>(engine.Count(c)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool hid = false;
  bool usb = false;
  bool card = true;
  talvex::ServerOptions options;
  options.headless = true;
  talvex::sim::SampleKind kind = talvex::sim::SampleKind::Resident;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--hid") == 0) {
      hid = true;
    } else if (std::strcmp(argv[i], "--usb") == 0) {
      usb = true;
    } else if (std::strcmp(argv[i], "--no-card") == 0) {
      card = false;
    } else if (std::strcmp(argv[i], "--sample") == 0 && i + 1 < argc &&
               talvex::sim::ParseSampleKind(argv[i + 1], &kind)) {
      ++i;
    } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0 &&
               std::atoi(argv[i + 1]) < 65536) {
      options.service.port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--request-ms") == 0 && i + 1 < argc &&
               std::atoi(argv[i + 1]) > 0) {
      talvex::ShortenRequestTimeForTests(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--headless") == 0) {
    } else if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "talvex-server-fakedev: unknown argument '%s'\n", argv[i]);
      PrintUsage(stderr);
      return 2;
    }
  }

  std::optional<talvex::sim::CardImage> image;
  if (card) image = talvex::sim::SampleCard(kind);
  talvex::sim::Engine hidEngine(image);
  talvex::sim::Engine usbEngine(image);

  talvex::fakedev::FakeHidBackend hidBackend;
  talvex::fakedev::FakeUsbBackend usbBackend;
  if (hid) {
    talvex::fakedev::FakeHidConfig keyboard;
    keyboard.path = "fakehid-keyboard";
    keyboard.manufacturer = u"Generic";
    keyboard.product = u"USB Keyboard";
    keyboard.inputReportLength = 9;
    keyboard.outputReportLength = 2;
    hidBackend.Add(keyboard);
    talvex::fakedev::FakeHidConfig reader;
    reader.path = "fakehid-reader";
    reader.responder = talvex::fakedev::EngineResponder(hidEngine);
    hidBackend.Add(reader);
  }
  if (usb) {
    talvex::fakedev::FakeUsbConfig hub;
    hub.path = "fakeusb-hub";
    hub.classGuid = u"{36FC9E60-C465-11CF-8056-444553540000}";
    usbBackend.Add(hub);
    talvex::fakedev::FakeUsbConfig reader;
    reader.path = "fakeusb-reader";
    reader.responder = talvex::fakedev::EngineResponder(usbEngine);
    usbBackend.Add(reader);
  }

  int rc = 0;
  {
    talvex::platform::ScopedDeviceBackends scope({nullptr, &hidBackend, &usbBackend});
    rc = talvex::RunHeadless(options);
  }
  if (rc == 0) {
    std::printf("fakedev");
    PrintCounts("hid", hidEngine);
    PrintCounts("usb", usbEngine);
    std::printf("\n");
    std::fflush(stdout);
  }
  return rc;
}
