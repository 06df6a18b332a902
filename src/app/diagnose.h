// talvex-server --diagnose: a one-shot report of what the server would find
// and why: every device auto-detection's own survey reports, in its order,
// with the rule that took or refused it, then the photo decoder library, the
// service port and the temporary folder, ending with one verdict. It never
// starts the service and never reads a card: a reader is only asked the probe
// frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/options.h"
#include "core/result.h"
#include "platform/diagnostics.h"
#include "reader/hid.h"

namespace talvex::diagnose {

// The exit codes of --diagnose, one per kind of problem (1 and 2 keep their
// meaning of "could not listen" and "wrong argument").
enum class Problem {
  kNone = 0,
  kNoReader = 3,          // nothing answered the probe
  kPermissionDenied = 4,  // a reader (or a port that may be one) does not open for this user
  kDecoderMissing = 5,    // no decoder library, or it lacks GetBmp
  kPortHeld = 6,          // another program listens on the service port
  kTempFolder = 7,        // the temporary folder is unusable
  kReaderHeld = 8,        // another program holds the reader
};

// The system's answers, replaceable so that the report logic can be tried
// on fake devices.
struct Queries {
  platform::OpenFailure (*checkOpens)(const std::string& path) = platform::CheckDeviceOpens;
  std::vector<platform::ProcessRef> (*holders)(const std::string& path) =
      platform::ProcessesUsingFile;
  platform::DeviceNodeInfo (*describeNode)(const std::string& path) = platform::DescribeDeviceNode;
  std::string (*serialPath)(int number) = platform::SerialPortDevicePath;
};

struct HidEntry {
  std::string path;
  bool hidClass = true;
  bool opened = false;
  platform::OpenFailure openFailure = platform::OpenFailure::kNone;
  std::vector<platform::ProcessRef> holders;
  platform::DeviceNodeInfo node;
  HidFacts facts;
  HidRefusal refusal = HidRefusal::kNone;
  bool readerByUsbStrings = false;        // does not open, but its USB strings are a reader's
  bool reached = true;                    // false: discovery stopped at an earlier device
  std::optional<ResultCode> probeResult;  // the probe exchange's; none: not probed
};

struct UsbEntry {
  std::string path;
  bool tagged = false;  // a reader device by the system's marking
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  bool idKnown = false;
  bool opened = false;
  platform::OpenFailure openFailure = platform::OpenFailure::kNone;
  std::vector<platform::ProcessRef> holders;
  bool reached = true;  // false: discovery had taken an earlier device
  std::optional<ResultCode> probeResult;
  std::string ruleLine;  // for an untagged device: the udev line that tags it
};

struct SerialEntry {
  int number = 0;
  std::string path;
  platform::DeviceNodeInfo node;
  platform::OpenFailure openFailure = platform::OpenFailure::kNone;
  std::vector<platform::ProcessRef> holders;
  bool isPort = true;  // false: it opens but is not a serial line
  std::optional<ResultCode> probeResult;
  std::string ruleLine;  // for a USB serial adapter the user cannot open
};

struct DecoderEntry {
  std::string fileName;
  std::vector<std::string> searched;  // beside the server, then the system's folders
  bool found = false;
  std::string path;
  bool getBmp = false;
  std::string error;  // why it did not load, as the system says
};

struct PortEntry {
  std::uint16_t port = 0;
  platform::PortUse use = platform::PortUse::kUnknown;
  platform::ProcessRef holder;
  bool heldByTalvex = false;
};

struct TempEntry {
  std::string path;
  bool usable = false;
  platform::FolderInfo folder;
};

struct Finding {
  Problem problem = Problem::kNone;
  std::string what;
  std::string fix;
};

struct Report {
  std::string user;
  std::vector<HidEntry> hid;
  bool hidEnumerated = true;
  std::vector<UsbEntry> usb;
  std::string serialSource;  // the port directory, or the default table
  std::vector<SerialEntry> serial;
  DecoderEntry decoder;
  PortEntry port;
  TempEntry temp;
  // The reader auto-detection takes: its selector (0: none) and where.
  int readerSelector = 0;
  std::string readerPath;
  std::vector<Finding> findings;  // in the order to fix them
  int ExitCode() const;
};

// The sections on their own. ProbeReaders fills the HID, USB and serial
// sections and the reader that auto-detection takes (one survey of the
// reader layer's discovery).
void ProbeReaders(Report& report, const Queries& queries);
// The decoder as the server looks for it: in `besideFolder` (the server's
// own folder, with a trailing separator), then by the system's search.
DecoderEntry DiagnoseDecoder(const std::string& besideFolder);
PortEntry DiagnosePort(std::uint16_t port);
TempEntry DiagnoseTempFolder();

// The whole report, with its findings.
Report Diagnose(std::uint16_t port, const Queries& queries = Queries());
// The findings, in fixing order. With no reader taken, one the running
// Talvex holds counts as found.
void Assess(Report& report);

std::string FormatText(const Report& report);
std::string FormatJson(const Report& report);

// The text report for the desktop shells, which no exception may reach:
// false, with *text empty, when there was not the memory for it.
bool TextReport(std::uint16_t port, std::string* text) noexcept;

// Runs the report and prints it on stdout; returns the exit code.
int RunDiagnosis(const ServerOptions& options);

}  // namespace talvex::diagnose
