// The diagnosis: which rule refused a HID device and what comes first to
// fix, a serial port another program has locked, and a decoder library that
// lacks GetBmp.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/diagnose.h"
#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "reader/discovery_testing.h"
#include "reader/session.h"
#include "support/fake-devices/fake_devices.h"
#include "support/no_devices.h"
#include "support/pty_reader.h"

namespace talvex::diagnose {
namespace {

using fakedev::FakeHidBackend;
using fakedev::FakeHidConfig;
using platform::OpenFailure;

FakeHidConfig Hid(std::string path, std::u16string manufacturer, std::u16string product) {
  FakeHidConfig config;
  config.path = std::move(path);
  config.manufacturer = std::move(manufacturer);
  config.product = std::move(product);
  return config;
}

// What the system says about the device "held": another program has it, and
// its USB strings are a reader's. Asked for any other device, it knows nothing.
OpenFailure g_heldFailure = OpenFailure::kBusy;
Queries HeldReaderQueries() {
  Queries q;
  q.checkOpens = [](const std::string& path) {
    return path == "held" ? g_heldFailure : OpenFailure::kNotFound;
  };
  q.holders = [](const std::string& path) {
    return path == "held" ? std::vector<platform::ProcessRef>{{4242, "other-app"}}
                          : std::vector<platform::ProcessRef>{};
  };
  q.describeNode = [](const std::string& path) {
    platform::DeviceNodeInfo node;
    node.exists = true;
    if (path == "held") {
      node.onUsb = true;
      node.usbManufacturer = "KAVRO Technology";
      node.usbProductName = "TalvexReaderDevice";
      node.group = "plugdev";
    }
    return node;
  };
  return q;
}

// The readers of `hid` as discovery reports them, with no USB devices and
// no serial ports; everything apart from the readers is fine.
Report Readers(FakeHidBackend& hid, const Queries& queries) {
  const std::filesystem::path none =
      std::filesystem::temp_directory_path() / ("talvex-no-ports-" + std::to_string(getpid()));
  std::filesystem::create_directories(none);
  ::setenv("TALVEX_PORTS", none.c_str(), 1);
  test::NoUsb usb;
  platform::ScopedDeviceBackends scope({nullptr, &hid, &usb});
  Queries noPorts = queries;
  noPorts.serialPath = [](int) { return std::string(); };
  Report report;
  ProbeReaders(report, noPorts);
  ::unsetenv("TALVEX_PORTS");
  std::filesystem::remove_all(none);
  report.decoder.found = true;
  report.decoder.getBmp = true;
  report.port.use = platform::PortUse::kFree;
  report.temp.usable = true;
  Assess(report);
  return report;
}

TEST(DiagnoseHid, EachDeviceNamesTheRuleThatRefusedItAndTheFirstThingToFix) {
  FakeHidBackend backend;
  backend.Add(Hid("keyboard", u"Logitech", u"USB Keyboard"));
  FakeHidConfig held = Hid("held", u"KAVRO Technology", u"TalvexReaderDevice");
  held.held = true;
  backend.Add(held);
  backend.Add(Hid("wrong-product", u"KAVRO Technology", u"Other"));
  FakeHidConfig small = Hid("small-reports", u"KAVRO Technology", u"TalvexReaderDevice");
  small.inputReportLength = 33;
  backend.Add(small);
  backend.Add(Hid("after", u"KAVRO Technology", u"TalvexReaderDevice"));

  const Report heldReport = Readers(backend, HeldReaderQueries());
  const std::vector<HidEntry>& hid = heldReport.hid;
  ASSERT_TRUE(heldReport.hidEnumerated);
  ASSERT_EQ(hid.size(), 5u);
  EXPECT_EQ(hid[0].refusal, HidRefusal::kManufacturerMismatch);
  EXPECT_EQ(hid[0].facts.product, u"USB Keyboard");  // shown, though discovery stops earlier
  EXPECT_FALSE(hid[1].opened);
  EXPECT_EQ(hid[1].openFailure, OpenFailure::kBusy);
  ASSERT_EQ(hid[1].holders.size(), 1u);
  EXPECT_TRUE(hid[1].readerByUsbStrings);
  EXPECT_EQ(hid[2].refusal, HidRefusal::kProductMismatch);
  EXPECT_EQ(hid[3].refusal, HidRefusal::kReportLengths);
  EXPECT_EQ(hid[3].facts.inputLength, 33);
  EXPECT_EQ(hid[3].probeResult, std::nullopt);
  // Discovery takes the first device with the reader's strings and goes no further.
  EXPECT_TRUE(hid[3].reached);
  EXPECT_FALSE(hid[4].reached);
  EXPECT_EQ(hid[4].probeResult, std::nullopt);
  EXPECT_EQ(backend.OpenDevices(), 0);

  EXPECT_EQ(heldReport.ExitCode(), static_cast<int>(Problem::kReaderHeld));
  EXPECT_NE(FormatText(heldReport).find("other-app (pid 4242)"), std::string::npos);
  // A process name is another user's text: it reaches the terminal escaped.
  Report planted = heldReport;
  planted.hid[1].holders[0].name = "x\x1b]0;owned\x07\x1b[2J";
  const std::string text = FormatText(planted);
  EXPECT_NE(text.find("x\\x1b]0;owned\\x07\\x1b[2J (pid 4242)"), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);

  // The same reader refused for want of access is fixed before anything else.
  g_heldFailure = OpenFailure::kPermissionDenied;
  const Report denied = Readers(backend, HeldReaderQueries());
  g_heldFailure = OpenFailure::kBusy;
  EXPECT_EQ(denied.ExitCode(), static_cast<int>(Problem::kPermissionDenied));
  EXPECT_NE(denied.findings.front().fix.find("plugdev"), std::string::npos);
}

TEST(DiagnoseHid, AReaderThatAnswersTheProbeIsReady) {
  sim::Engine engine;
  FakeHidBackend backend;
  FakeHidConfig reader = Hid("reader", u"KAVRO Technology", u"TalvexReaderDevice");
  reader.responder = fakedev::EngineResponder(engine);
  backend.Add(reader);

  const Report report = Readers(backend, HeldReaderQueries());
  EXPECT_EQ(report.hid.at(0).probeResult, talvex::kOk);
  EXPECT_EQ(report.readerSelector, talvex::kTransportHid);
  EXPECT_EQ(report.ExitCode(), 0);
  // Only the probe: the diagnosis never reads a card.
  EXPECT_EQ(engine.Count(sim::Command::Probe), 1u);
  EXPECT_EQ(engine.Count(sim::Command::ReadBaseMessage), 0u);
}

// The diagnosis holds no rule of its own: other marks for the HID strings
// change which device it finds a reader and what it says of the others.
TEST(DiagnoseHid, FollowsTheRulesOfDiscovery) {
  sim::Engine engine;
  FakeHidBackend backend;
  backend.Add(Hid("old-marks", u"KAVRO Technology", u"TalvexReaderDevice"));
  FakeHidConfig other = Hid("other-marks", u"ACME Devices", u"Card Widget");
  other.responder = fakedev::EngineResponder(engine);
  backend.Add(other);
  const ScopedHidMarks marks({u"ACME", u"Widget"});

  const Report report = Readers(backend, HeldReaderQueries());
  ASSERT_EQ(report.hid.size(), 2u);
  EXPECT_EQ(report.hid[0].refusal, HidRefusal::kManufacturerMismatch);
  EXPECT_EQ(report.hid[1].probeResult, talvex::kOk);
  EXPECT_EQ(report.readerPath, "other-marks");
  EXPECT_EQ(report.ExitCode(), 0);
  EXPECT_NE(FormatText(report).find("the manufacturer string does not contain \"ACME\""),
            std::string::npos);
}

TEST(DiagnoseSerial, APortAnotherProgramHasLockedIsReportedWithItsHolder) {
  test::PtyReader line;
  ASSERT_TRUE(line.ok());
  const std::filesystem::path ports =
      std::filesystem::temp_directory_path() / ("talvex-diagnose-" + std::to_string(getpid()));
  std::filesystem::create_directories(ports);
  std::filesystem::create_symlink(line.slavePath(), ports / "com3");
  ::setenv("TALVEX_PORTS", ports.c_str(), 1);

  const int holder = ::open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

  test::NoHid noHid;
  test::NoUsb noUsb;
  platform::ScopedDeviceBackends scope({nullptr, &noHid, &noUsb});
  Report report;
  ProbeReaders(report, Queries());
  const std::vector<SerialEntry>& serial = report.serial;
  ASSERT_EQ(serial.size(), 1u);
  EXPECT_EQ(serial[0].number, 3);
  EXPECT_EQ(serial[0].openFailure, OpenFailure::kBusy);
  EXPECT_EQ(serial[0].probeResult, std::nullopt);
  bool heldBySelf = false;
  for (const platform::ProcessRef& p : serial[0].holders) heldBySelf |= p.pid == getpid();
  EXPECT_TRUE(heldBySelf);
  EXPECT_TRUE(line.Requests().empty());  // nothing was sent to a locked port
  // The holder keeps its lock.
  const int other = ::open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);

  report.decoder.found = report.decoder.getBmp = true;
  report.temp.usable = true;
  Assess(report);
  EXPECT_EQ(report.ExitCode(), static_cast<int>(Problem::kReaderHeld));

  ::close(other);
  ::close(holder);
  ::unsetenv("TALVEX_PORTS");
  std::filesystem::remove_all(ports);
}

TEST(DiagnoseDecoder, ALibraryWithoutGetBmpIsFoundButNotADecoder) {
  const DecoderEntry entry = DiagnoseDecoder(TALVEX_NO_GETBMP_DIR);
  ASSERT_FALSE(entry.searched.empty());
  EXPECT_EQ(entry.searched.front(), std::string(TALVEX_NO_GETBMP_DIR) + "libWltRS.so");
  EXPECT_TRUE(entry.found);
  EXPECT_EQ(entry.path, std::string(TALVEX_NO_GETBMP_DIR) + "libWltRS.so");
  EXPECT_FALSE(entry.getBmp);

  Report report;
  report.decoder = entry;
  report.readerSelector = 7;
  report.temp.usable = true;
  report.serial.push_back(SerialEntry{});
  report.serial.back().number = 7;
  report.serial.back().probeResult = kOk;
  Assess(report);
  EXPECT_EQ(report.ExitCode(), static_cast<int>(Problem::kDecoderMissing));
}

}  // namespace
}  // namespace talvex::diagnose
