#include "app/diagnose.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>

#include "photo/decoder.h"
#include "platform/devices.h"
#include "platform/dynlib.h"
#include "platform/fs.h"
#include "platform/usb.h"
#include "platform/utf.h"
#include "reader/frame.h"
#include "reader/serial.h"
#include "reader/session.h"
#include "reader/usb.h"

namespace talvex::diagnose {
namespace {

using platform::OpenFailure;

constexpr char kVersion[] = "1.0.0";
// Where the package puts the rules ("/lib" and "/usr/lib" are one folder on
// a merged-/usr system, but not everywhere).
constexpr char kRulesFile[] = "/lib/udev/rules.d/70-talvex-reader.rules";
constexpr char kUsrRulesFile[] = "/usr/lib/udev/rules.d/70-talvex-reader.rules";
constexpr char kLocalRulesFile[] = "/etc/udev/rules.d/70-talvex-reader-local.rules";
constexpr std::uint64_t kMinFreeBytes = 1024 * 1024;  // the two photo files need far less

bool IsTalvex(const platform::ProcessRef& process) {
  const std::string_view name = process.name;
  return name.starts_with("talvex-server") || name.starts_with("TalvexServer");
}

bool AllTalvex(const std::vector<platform::ProcessRef>& holders) {
  if (holders.empty()) return false;
  for (const platform::ProcessRef& p : holders) {
    if (!IsTalvex(p)) return false;
  }
  return true;
}

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
  return text;
}

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

std::string UsbRuleLine(std::uint16_t vendor, std::uint16_t product) {
  return "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" + Hex4(vendor) +
         "\", ATTR{idProduct}==\"" + Hex4(product) +
         "\", ENV{TALVEX_READER}=\"1\", TAG+=\"uaccess\", GROUP=\"plugdev\", MODE=\"0660\"";
}

std::string SerialRuleLine(std::uint16_t vendor, std::uint16_t product) {
  return "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + Hex4(vendor) + "\", ATTRS{idProduct}==\"" +
         Hex4(product) +
         "\", ENV{TALVEX_READER}=\"1\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\", "
         "GROUP=\"plugdev\", MODE=\"0660\"";
}

const char* FailureText(OpenFailure failure) {
  switch (failure) {
    case OpenFailure::kNone:
      return "opens";
    case OpenFailure::kNotFound:
      return "not found";
    case OpenFailure::kPermissionDenied:
      return "permission denied";
    case OpenFailure::kBusy:
      return "in use by another program";
    case OpenFailure::kOther:
      return "does not open";
  }
  return "does not open";
}

const char* FailureKey(OpenFailure failure) {
  switch (failure) {
    case OpenFailure::kNone:
      return "none";
    case OpenFailure::kNotFound:
      return "not_found";
    case OpenFailure::kPermissionDenied:
      return "permission_denied";
    case OpenFailure::kBusy:
      return "busy";
    case OpenFailure::kOther:
      return "other";
  }
  return "other";
}

const char* RefusalText(HidRefusal refusal) {
  switch (refusal) {
    case HidRefusal::kNone:
      return "none";
    case HidRefusal::kNotHidClass:
      return "its setup class is not the HID class";
    case HidRefusal::kManufacturerUnreadable:
      return "the manufacturer string cannot be read";
    case HidRefusal::kManufacturerMismatch:
      return "the manufacturer string does not contain \"KAVRO\"";
    case HidRefusal::kProductUnreadable:
      return "the product string cannot be read";
    case HidRefusal::kProductMismatch:
      return "the product string does not contain \"TalvexReaderDevice\"";
    case HidRefusal::kCapabilitiesUnreadable:
      return "its report lengths cannot be read";
    case HidRefusal::kReportLengths:
      return "its input and output reports are not both 65 bytes";
  }
  return "unknown";
}

const char* RefusalKey(HidRefusal refusal) {
  switch (refusal) {
    case HidRefusal::kNone:
      return "none";
    case HidRefusal::kNotHidClass:
      return "class";
    case HidRefusal::kManufacturerUnreadable:
      return "manufacturer_unreadable";
    case HidRefusal::kManufacturerMismatch:
      return "manufacturer";
    case HidRefusal::kProductUnreadable:
      return "product_unreadable";
    case HidRefusal::kProductMismatch:
      return "product";
    case HidRefusal::kCapabilitiesUnreadable:
      return "report_lengths_unreadable";
    case HidRefusal::kReportLengths:
      return "report_lengths";
  }
  return "unknown";
}

std::string Utf8(const std::u16string& text) {
  return Utf16ToUtf8(text);
}

// A string request of the device answered into a fresh buffer, for showing
// a string that discovery did not get as far as asking for.
std::u16string ProductForDisplay(platform::HidDevice& device) {
  std::uint8_t buffer[platform::kHidStringBufferSize] = {};
  if (!device.GetProductString(buffer)) return std::u16string();
  std::u16string text;
  for (std::size_t i = 0; i + 1 < sizeof buffer; i += 2) {
    const char16_t unit = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

bool ReaderByUsbStrings(const platform::DeviceNodeInfo& node) {
  return node.onUsb && IsReaderManufacturer(Utf8ToUtf16(node.usbManufacturer)) &&
         IsReaderProduct(Utf8ToUtf16(node.usbProductName));
}

// The group to join for a reader's node: its own, unless the node is still
// root's (the rules have not run on it), where the rules' group will be.
std::string AccessGroup(const platform::DeviceNodeInfo& node) {
  return node.group.empty() || node.group == "root" ? std::string("plugdev") : node.group;
}

std::string HoldersText(const std::vector<platform::ProcessRef>& holders) {
  std::string text;
  for (const platform::ProcessRef& p : holders) {
    if (!text.empty()) text += ", ";
    text +=
        (p.name.empty() ? std::string("process") : p.name) + " (pid " + std::to_string(p.pid) + ")";
  }
  return text;
}

std::string FormatBytes(std::uint64_t bytes) {
  char text[32];
  if (bytes >= 1024ull * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f GiB",
                  static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024));
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// The sections

std::vector<HidEntry> DiagnoseHid(const Queries& queries, bool* enumerated) {
  std::vector<HidEntry> entries;
  platform::HidBackend& backend = *platform::Devices().hid;
  std::vector<platform::DeviceInterface> interfaces;
  *enumerated = backend.Enumerate(&interfaces);
  bool stringsMatched = false;  // discovery stops at the first device with the right strings
  for (const platform::DeviceInterface& candidate : interfaces) {
    HidEntry entry;
    entry.path = candidate.path;
    entry.reached = !stringsMatched;
    entry.node = queries.describeNode(candidate.path);
    if (!IsHidClass(candidate)) {
      entry.hidClass = false;
      entry.refusal = HidRefusal::kNotHidClass;
      entries.push_back(std::move(entry));
      continue;
    }
    std::unique_ptr<platform::HidDevice> device = backend.Open(candidate);
    if (!device) {
      entry.openFailure = queries.checkOpens(candidate.path);
      if (entry.openFailure == OpenFailure::kNone) entry.openFailure = OpenFailure::kOther;
      if (entry.openFailure == OpenFailure::kBusy) entry.holders = queries.holders(candidate.path);
      entry.readerByUsbStrings = ReaderByUsbStrings(entry.node);
      entries.push_back(std::move(entry));
      continue;
    }
    entry.opened = true;
    entry.refusal = CheckHidStrings(*device, &entry.facts);
    if (entry.refusal == HidRefusal::kManufacturerMismatch) {
      entry.facts.product = ProductForDisplay(*device);
    }
    const HidRefusal lengths = CheckHidReportLengths(*device, &entry.facts);
    if (entry.refusal == HidRefusal::kNone) {
      stringsMatched = true;
      entry.refusal = lengths;
      if (lengths == HidRefusal::kNone && entry.reached) {
        ReaderContext ctx;
        ctx.transport = kTransportHid;
        ctx.baudRate = kBaudRate;
        ctx.device = std::move(device);
        entry.probeResult = HidExchange(ctx, kProbeFrame, sizeof kProbeFrame);
      }
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<UsbEntry> DiagnoseUsb(const Queries& queries) {
  std::vector<UsbEntry> entries;
  platform::UsbBackend& backend = *platform::Devices().usb;
  std::vector<platform::DeviceInterface> interfaces;
  backend.Enumerate(&interfaces);
  for (const platform::DeviceInterface& candidate : interfaces) {
    if (!IsReaderDriverClass(candidate)) continue;
    UsbEntry entry;
    entry.path = candidate.path;
    entry.tagged = true;
    const platform::DeviceNodeInfo node = queries.describeNode(candidate.path);
    entry.idKnown = node.onUsb;
    entry.vendor = node.usbVendor;
    entry.product = node.usbProduct;
    if (std::unique_ptr<platform::UsbDevice> device = backend.Open(candidate)) {
      entry.opened = true;
      ReaderContext ctx;
      ctx.transport = kTransportUsb;
      ctx.baudRate = kBaudRate;
      ctx.device = std::move(device);
      entry.probeResult = UsbExchange(ctx, kProbeFrame, sizeof kProbeFrame);
    } else {
      entry.openFailure = queries.checkOpens(candidate.path);
      // The node opens, but the reader interface could not be claimed.
      if (entry.openFailure == OpenFailure::kNone) entry.openFailure = OpenFailure::kBusy;
      entry.holders = queries.holders(candidate.path);
    }
    entries.push_back(std::move(entry));
  }
  // Devices shaped like a reader that nothing marks as one yet.
  std::vector<platform::UsbReaderLike> alike;
  if (platform::Devices().usb == &platform::SystemUsbBackend() &&
      platform::ListReaderLikeUsbDevices(&alike)) {
    for (const platform::UsbReaderLike& device : alike) {
      if (device.tagged) continue;
      UsbEntry entry;
      entry.path = device.path;
      entry.vendor = device.vendor;
      entry.product = device.product;
      entry.idKnown = true;
      entry.ruleLine = UsbRuleLine(device.vendor, device.product);
      entries.push_back(std::move(entry));
    }
  }
  return entries;
}

std::vector<SerialEntry> DiagnoseSerial(const Queries& queries) {
  std::vector<SerialEntry> entries;
  for (int number = kScanFirstPort; number <= kScanLastPort; ++number) {
    SerialEntry entry;
    entry.number = number;
    entry.path = queries.serialPath(number);
    if (entry.path.empty()) continue;
    entry.node = queries.describeNode(entry.path);
    if (!entry.node.exists) continue;
    entry.openFailure = queries.checkOpens(entry.path);
    if (entry.openFailure == OpenFailure::kNone) {
      // The port as the scan opens it, and the scan's probe.
      ReaderContext ctx;
      ctx.transport = number;
      ctx.baudRate = kBaudRate;
      ctx.device = OpenSerialPort(number, kBaudRate, false);
      if (ctx.device) {
        entry.probeResult = SerialExchange(ctx, kProbeFrame, sizeof kProbeFrame);
      } else {
        entry.isPort = false;
      }
    } else if (entry.openFailure == OpenFailure::kBusy) {
      entry.holders = queries.holders(entry.path);
    } else if (entry.openFailure == OpenFailure::kPermissionDenied && entry.node.onUsb) {
      entry.ruleLine = SerialRuleLine(entry.node.usbVendor, entry.node.usbProduct);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

DecoderEntry DiagnoseDecoder(const std::string& besideFolder) {
  DecoderEntry entry;
  entry.fileName = DecoderLibraryFileName();
  platform::DynamicLibrary library;
  std::string besideError;
  if (!besideFolder.empty()) {
    const std::string beside = besideFolder + entry.fileName;
    entry.searched.push_back(beside);
    if (platform::LibraryFileExists(beside)) {
      library = platform::DynamicLibrary::LoadPath(beside);
      if (!library.IsLoaded()) besideError = platform::DynamicLibrary::LoadError();
    }
  }
  for (const std::string& folder : platform::LibrarySearchFolders())
    entry.searched.push_back(folder);
  if (!library.IsLoaded()) {
    // The system's search, exactly as the server's own look-up ends.
    library = platform::DynamicLibrary::Load(entry.fileName.c_str());
    if (!library.IsLoaded()) {
      entry.error = besideError.empty() ? platform::DynamicLibrary::LoadError() : besideError;
      return entry;
    }
  }
  entry.found = true;
  entry.path = library.FilePath();
  entry.getBmp = FindGetBmp(library) != nullptr;
  return entry;
}

PortEntry DiagnosePort(std::uint16_t port) {
  PortEntry entry;
  entry.port = port;
  entry.use = platform::ListeningPortUse(port, &entry.holder);
  entry.heldByTalvex = entry.use == platform::PortUse::kHeld && IsTalvex(entry.holder);
  return entry;
}

TempEntry DiagnoseTempFolder() {
  TempEntry entry;
  entry.path = platform::TempDirectoryPath();
  std::u16string folder;
  entry.usable = platform::GetTempDirectory(&folder);
  if (entry.usable) entry.path = Utf16ToUtf8(folder);
  entry.folder = platform::DescribeFolder(entry.path);
  if (!entry.folder.writable) entry.usable = false;
  if (entry.folder.freeKnown && entry.folder.freeBytes < kMinFreeBytes) entry.usable = false;
  return entry;
}

// ---------------------------------------------------------------------------
// The verdict

int Report::ExitCode() const {
  return findings.empty() ? 0 : static_cast<int>(findings.front().problem);
}

// The reader auto-detection takes: the first of HID, USB, serial that
// answers the probe. One the running Talvex holds counts as found.
void FindReader(Report& report) {
  for (const HidEntry& e : report.hid) {
    if (e.probeResult == kOk || (e.openFailure == OpenFailure::kBusy && AllTalvex(e.holders))) {
      report.readerSelector = kTransportHid;
      report.readerPath = e.path;
      break;
    }
  }
  for (const UsbEntry& e : report.usb) {
    if (report.readerSelector != 0) break;
    if (e.probeResult == kOk || (e.tagged && AllTalvex(e.holders))) {
      report.readerSelector = kTransportUsb;
      report.readerPath = e.path;
    }
  }
  for (const SerialEntry& e : report.serial) {
    if (report.readerSelector != 0) break;
    if (e.probeResult == kOk || (e.openFailure == OpenFailure::kBusy && AllTalvex(e.holders))) {
      report.readerSelector = e.number;
      report.readerPath = e.path;
    }
  }
}

// Readers that may not be opened (denied) or that another program holds.
struct AccessFindings {
  std::vector<Finding> denied;
  std::vector<Finding> held;
};

void HidAccess(const Report& report, const std::string& user, AccessFindings& a) {
  std::vector<Finding>& denied = a.denied;
  std::vector<Finding>& held = a.held;
  for (const HidEntry& e : report.hid) {
    if (!e.readerByUsbStrings) continue;
    if (e.openFailure == OpenFailure::kPermissionDenied) {
      const bool rules = platform::FileExists(kRulesFile) || platform::FileExists(kUsrRulesFile);
      denied.push_back(Finding{
          Problem::kPermissionDenied,
          "the HID reader " + e.path + " does not open: permission denied",
          std::string(rules ? "the rules file " : "install the rules file ") + kRulesFile +
              (rules ? " is installed: replug the reader or run 'sudo udevadm control "
                       "--reload-rules && sudo udevadm trigger', and log in at the local seat "
                       "(uaccess gives the seat's user access)"
                     : " (it comes with the package), then replug the reader") +
              "; or add " + user + " to the group '" + AccessGroup(e.node) +
              "' (sudo usermod -aG " + AccessGroup(e.node) + " " + user + ", then log in again)"});
    } else if (e.openFailure == OpenFailure::kBusy) {
      held.push_back(Finding{Problem::kReaderHeld,
                             "the HID reader " + e.path + " is held by another program" +
                                 (e.holders.empty() ? "" : ": " + HoldersText(e.holders)),
                             "close that program (only one program can use the reader)"});
    }
  }
}

void UsbAccess(const Report& report, const std::string& user, AccessFindings& a) {
  std::vector<Finding>& denied = a.denied;
  std::vector<Finding>& held = a.held;
  for (const UsbEntry& e : report.usb) {
    if (!e.tagged) continue;
    if (e.openFailure == OpenFailure::kPermissionDenied) {
      denied.push_back(Finding{Problem::kPermissionDenied,
                               "the USB reader " + e.path + " does not open: permission denied",
                               "log in at the local seat (the rules give its user access), or "
                               "add " +
                                   user +
                                   " to the group plugdev (sudo usermod -aG "
                                   "plugdev " +
                                   user + ", then log in again)"});
    } else if (e.openFailure == OpenFailure::kBusy && !AllTalvex(e.holders)) {
      held.push_back(Finding{Problem::kReaderHeld,
                             "the USB reader " + e.path + " is held by another program" +
                                 (e.holders.empty() ? "" : ": " + HoldersText(e.holders)),
                             "close that program (only one program can use the reader)"});
    }
  }
}

void SerialAccess(const Report& report, const std::string& user, AccessFindings& a) {
  std::vector<Finding>& denied = a.denied;
  std::vector<Finding>& held = a.held;
  for (const SerialEntry& e : report.serial) {
    if (e.openFailure == OpenFailure::kPermissionDenied) {
      // A port of root's alone has no group to join: only a rule opens it.
      const bool rootOnly = e.node.group.empty() || e.node.group == "root";
      std::string fix = rootOnly ? "the port belongs to root alone: give " + user +
                                       " access with a udev rule, or ask the administrator"
                                 : "add " + user + " to the group '" + e.node.group +
                                       "' (sudo usermod -aG " + e.node.group + " " + user +
                                       ", then log in again)";
      if (!e.ruleLine.empty()) {
        fix += std::string(rootOnly ? "; the line for " : ", or add the line for ") +
               "this adapter to " + kLocalRulesFile + ": " + e.ruleLine;
      }
      denied.push_back(Finding{Problem::kPermissionDenied,
                               "serial port " + std::to_string(e.number) + " (" + e.path +
                                   ") does not open: permission denied",
                               fix});
    } else if (e.openFailure == OpenFailure::kBusy) {
      held.push_back(Finding{Problem::kReaderHeld,
                             "serial port " + std::to_string(e.number) + " (" + e.path +
                                 ") is locked by another program" +
                                 (e.holders.empty() ? "" : ": " + HoldersText(e.holders)),
                             "close that program if the reader is on this port"});
    }
  }
}

// Why no reader was found: a device that would be a reader but may not be
// opened, or that another program holds; else nothing answered at all.
void ReaderFinding(Report& report, const std::string& user) {
  AccessFindings a;
  HidAccess(report, user, a);
  UsbAccess(report, user, a);
  SerialAccess(report, user, a);
  const std::vector<Finding>& denied = a.denied;
  const std::vector<Finding>& held = a.held;
  if (!denied.empty()) {
    report.findings.push_back(denied.front());
  } else if (!held.empty()) {
    report.findings.push_back(held.front());
  } else {
    std::string fix =
        "connect the reader (and switch it on); a HID reader must report \"KAVRO\" and "
        "\"TalvexReaderDevice\"";
    for (const UsbEntry& e : report.usb) {
      if (!e.ruleLine.empty()) {
        fix += "; for the USB device " + e.path + " add this line to " + kLocalRulesFile + ": " +
               e.ruleLine;
        break;
      }
    }
    report.findings.push_back(Finding{Problem::kNoReader, "no reader answered", fix});
  }
}

void DecoderFinding(Report& report) {
  if (!report.decoder.found || !report.decoder.getBmp) {
    report.findings.push_back(Finding{
        Problem::kDecoderMissing,
        !report.decoder.found
            ? "the photo decoder library " + report.decoder.fileName + " was not found"
            : "the photo decoder library " + report.decoder.path + " has no GetBmp",
        !report.decoder.found
            ? "get " + report.decoder.fileName +
                  " from the reader's vendor and put it beside "
                  "the server or in /usr/lib/talvex; card reads answer 263 without it"
            : "this is not the vendor's photo decoder: replace it with the vendor's library"});
  }
}

void PortFinding(Report& report) {
  if (report.port.use == platform::PortUse::kHeld && !report.port.heldByTalvex) {
    report.findings.push_back(Finding{
        Problem::kPortHeld,
        "port " + std::to_string(report.port.port) + " is held by " +
            (report.port.holder.name.empty() ? std::string("another program")
                                             : report.port.holder.name + " (pid " +
                                                   std::to_string(report.port.holder.pid) + ")"),
        "stop that program, or run the server with --port N and tell the web page"});
  }
}

void TempFinding(Report& report, const std::string& user) {
  if (!report.temp.usable) {
    report.findings.push_back(Finding{Problem::kTempFolder,
                                      "the temporary folder " + report.temp.path + " is unusable",
                                      "it must be a real folder of " + user +
                                          "'s with no access for others (mode 0700) "
                                          "and some free space: 'rm -r " +
                                          report.temp.path + "' lets the server make it anew"});
  }
}

void Assess(Report& report) {
  report.findings.clear();
  report.readerSelector = 0;
  report.readerPath.clear();
  const std::string user = report.user.empty() ? std::string("$USER") : report.user;
  FindReader(report);
  if (report.readerSelector == 0) ReaderFinding(report, user);
  DecoderFinding(report);
  PortFinding(report);
  TempFinding(report, user);
}

Report Diagnose(std::uint16_t port, const Queries& queries) {
  Report report;
  report.user = platform::CurrentUserName();
  report.hid = DiagnoseHid(queries, &report.hidEnumerated);
  report.usb = DiagnoseUsb(queries);
#ifdef _WIN32
  report.serialSource = "COM1 to COM32";
#else
  {
    const char* env = std::getenv("TALVEX_PORTS");
    const std::string dir = env != nullptr && *env != '\0' ? env : "/etc/talvex/ports";
    report.serialSource = platform::DescribeFolder(dir).exists
                              ? "port directory " + dir
                              : "default table (/dev/ttyUSB0-15, /dev/ttyACM0-7, /dev/ttyS0-7)";
  }
#endif
  report.serial = DiagnoseSerial(queries);
  std::string beside;
  platform::ExecutableDirectory(&beside);
  report.decoder = DiagnoseDecoder(beside);
  report.port = DiagnosePort(port);
  report.temp = DiagnoseTempFolder();
  Assess(report);
  return report;
}

// ---------------------------------------------------------------------------
// Text

namespace {

std::string ProbeText(std::optional<ResultCode> result) {
  if (result == kOk) return "answered the probe: a reader";
  if (result == kReceiveTimeout) return "no answer to the probe (2)";
  return "the probe failed (" + std::to_string(ToNumber(result.value_or(kOk))) + ")";
}

std::string NodeSuffix(const platform::DeviceNodeInfo& node) {
  std::string text;
  if (node.onUsb) {
    text += " [USB " + Hex4(node.usbVendor) + ":" + Hex4(node.usbProduct);
    if (!node.usbManufacturer.empty() || !node.usbProductName.empty()) {
      text += " \"" + node.usbManufacturer + "\" / \"" + node.usbProductName + "\"";
    }
    text += "]";
  }
  return text;
}

std::string AccessText(const platform::DeviceNodeInfo& node, OpenFailure failure,
                       const std::vector<platform::ProcessRef>& holders) {
  std::string text = FailureText(failure);
  if (failure == OpenFailure::kBusy && !holders.empty()) {
    text =
        (AllTalvex(holders) ? "held by the running Talvex: " : "held by ") + HoldersText(holders);
  }
  if (failure == OpenFailure::kPermissionDenied && !node.group.empty()) {
    text += " (group " + node.group + ", mode " + Octal(node.mode) +
            (node.userInGroup ? ", you are in the group)" : ", you are not in the group)");
  }
  return text;
}

}  // namespace

void TextHid(const Report& report, std::string& out) {
  out += "\nHID devices (tried first)\n";
  if (!report.hidEnumerated) out += "  the HID devices could not be listed\n";
  if (report.hid.empty()) out += "  none\n";
  for (const HidEntry& e : report.hid) {
    out += "  " + e.path + NodeSuffix(e.node) + "\n";
    if (!e.hidClass) {
      out += "      not a reader: " + std::string(RefusalText(e.refusal)) + "\n";
      continue;
    }
    if (!e.opened) {
      out += "      does not open: " + AccessText(e.node, e.openFailure, e.holders) + "\n";
      if (e.readerByUsbStrings) out += "      its USB strings are a reader's\n";
      continue;
    }
    out +=
        "      strings \"" + Utf8(e.facts.manufacturer) + "\" / \"" + Utf8(e.facts.product) + "\"";
    if (e.facts.lengthsRead) {
      out += ", reports " + std::to_string(e.facts.inputLength) + " in / " +
             std::to_string(e.facts.outputLength) + " out";
    }
    out += "\n";
    if (!e.reached) {
      out += "      not reached: discovery stops at the first device with the reader's strings\n";
    } else if (e.refusal != HidRefusal::kNone) {
      out += "      not a reader: " + std::string(RefusalText(e.refusal)) + "\n";
    } else {
      out += "      " + ProbeText(e.probeResult) + "\n";
    }
  }
}

void TextUsb(const Report& report, std::string& out) {
  out += "\nUSB driver devices (tried second)\n";
  if (report.usb.empty()) out += "  none tagged as a reader, none that looks like one\n";
  for (const UsbEntry& e : report.usb) {
    out += "  " + e.path +
           (e.idKnown ? " [USB " + Hex4(e.vendor) + ":" + Hex4(e.product) + "]" : "") + "\n";
    if (!e.tagged) {
      out +=
          "      looks like a reader (vendor-class interface, bulk IN and OUT) but is not "
          "tagged; to use it, add to " +
          std::string(kLocalRulesFile) + ":\n      " + e.ruleLine + "\n";
    } else if (!e.opened) {
      out += "      does not open: " + AccessText({}, e.openFailure, e.holders) + "\n";
    } else {
      out += "      " + ProbeText(e.probeResult) + "\n";
    }
  }
}

void TextSerial(const Report& report, std::string& out) {
  out += "\nSerial ports 1-32 (tried last; " + report.serialSource + ")\n";
  if (report.serial.empty()) out += "  none present\n";
  for (const SerialEntry& e : report.serial) {
    out += "  " + std::to_string(e.number) + ": " + e.path;
    if (!e.node.resolved.empty() && e.node.resolved != e.path) out += " -> " + e.node.resolved;
    out += NodeSuffix(e.node) + "\n";
    if (e.openFailure != OpenFailure::kNone) {
      out += "      does not open: " + AccessText(e.node, e.openFailure, e.holders) +
             (e.openFailure == OpenFailure::kBusy ? " (locked)" : "") + "\n";
      if (!e.ruleLine.empty()) {
        out += "      or give the seat's user access with this line in " +
               std::string(kLocalRulesFile) + ":\n      " + e.ruleLine + "\n";
      }
    } else if (!e.isPort) {
      out += "      opens, but is not a serial line\n";
    } else {
      out += "      opens; " + ProbeText(e.probeResult) + "\n";
    }
  }
}

void TextDecoder(const Report& report, std::string& out) {
  out += "\nPhoto decoder\n";
  if (report.decoder.found) {
    out += "  " + report.decoder.path + ": loaded, GetBmp " +
           (report.decoder.getBmp ? "resolves" : "is MISSING") + "\n";
  } else {
    out += "  " + report.decoder.fileName + ": not found" +
           (report.decoder.error.empty() ? "" : " (" + report.decoder.error + ")") + "\n";
  }
  // The first entry is the folder beside the server, the rest the system's search.
  out += "  searched: ";
  for (std::size_t i = 0; i < report.decoder.searched.size(); ++i) {
    out += (i == 0   ? ""
            : i == 1 ? "; then the system's search: "
                     : ", ") +
           report.decoder.searched[i];
  }
#ifndef _WIN32
  out += report.decoder.searched.size() > 1 ? " and the ld.so cache" : "";
#endif
  out += "\n";
}

void TextPort(const Report& report, std::string& out) {
  out += "\nService port\n  " + std::to_string(report.port.port) + ": ";
  switch (report.port.use) {
    case platform::PortUse::kFree:
      out += "free\n";
      break;
    case platform::PortUse::kHeld:
      if (report.port.heldByTalvex) {
        out += "held by Talvex (" + HoldersText({report.port.holder}) + "), the service runs\n";
      } else if (report.port.holder.name.empty()) {
        out += "held by another program (the system does not say which)\n";
      } else {
        out += "held by another program: " + HoldersText({report.port.holder}) + "\n";
      }
      break;
    case platform::PortUse::kUnknown:
      out += "the system does not say whether it is free\n";
      break;
  }
}

void TextTemp(const Report& report, std::string& out) {
  out += "\nTemporary folder\n  " + report.temp.path + ": ";
  if (!report.temp.folder.exists) {
    out += "missing or not a folder";
  } else {
#ifndef _WIN32
    out += "mode " + Octal(report.temp.folder.mode) +
           (report.temp.folder.ownedByUser ? ", yours" : ", NOT yours") + ", ";
#endif
    out += report.temp.folder.writable ? "writable" : "NOT writable";
    if (report.temp.folder.freeKnown)
      out += ", " + FormatBytes(report.temp.folder.freeBytes) + " free";
  }
  out += report.temp.usable ? "\n" : "; unusable\n";
}

bool TextReport(std::uint16_t port, std::string* text) noexcept {
  try {
    *text = FormatText(Diagnose(port));
    return true;
  } catch (const std::bad_alloc&) {
    text->clear();
    return false;
  }
}

std::string FormatText(const Report& report) {
  std::string out;
  out += "Talvex diagnosis (talvex-server " + std::string(kVersion) + ")" +
         (report.user.empty() ? "" : ", as user " + report.user) + "\n";

  TextHid(report, out);
  TextUsb(report, out);
  TextSerial(report, out);
  TextDecoder(report, out);
  TextPort(report, out);
  TextTemp(report, out);
  out += "\n";
  if (report.findings.empty()) {
    out += "Verdict: ready: a reader answered on " + report.readerPath + " (" +
           (report.readerSelector == kTransportHid ? std::string("HID")
            : report.readerSelector == kTransportUsb
                ? std::string("USB driver")
                : "serial port " + std::to_string(report.readerSelector)) +
           ") and the photo decoder loaded\n";
  } else {
    const Finding& first = report.findings.front();
    out += "Verdict: not ready (" + std::to_string(static_cast<int>(first.problem)) +
           "): " + first.what + "; fix: " + first.fix + "\n";
    for (std::size_t i = 1; i < report.findings.size(); ++i) {
      const Finding& f = report.findings[i];
      out += "  then (" + std::to_string(static_cast<int>(f.problem)) + "): " + f.what +
             "; fix: " + f.fix + "\n";
    }
  }
  // Process names, device strings and paths come from other users and
  // devices: none of their control bytes reaches the terminal.
  return EscapeForTerminal(out, true);
}

// ---------------------------------------------------------------------------
// JSON

namespace {

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// Text from the system (device strings, paths) may hold bytes that are not
// UTF-8; they go through the converter so that the JSON stays valid.
std::string QuoteText(std::string_view text) {
  return Quote(Utf16ToUtf8(Utf8ToUtf16(text)));
}

std::string Bool(bool value) {
  return value ? "true" : "false";
}

std::string Probe(std::optional<ResultCode> result) {
  return result ? std::to_string(ToNumber(*result)) : "null";
}

std::string Holders(const std::vector<platform::ProcessRef>& holders) {
  std::string out = "[";
  for (std::size_t i = 0; i < holders.size(); ++i) {
    out += (i == 0 ? "" : ",") + std::string("{\"pid\":") + std::to_string(holders[i].pid) +
           ",\"name\":" + QuoteText(holders[i].name) + "}";
  }
  return out + "]";
}

std::string UsbId(bool known, std::uint16_t vendor, std::uint16_t product) {
  return known ? Quote(Hex4(vendor) + ":" + Hex4(product)) : "null";
}

std::string Node(const platform::DeviceNodeInfo& node) {
  return "\"group\":" + (node.group.empty() ? std::string("null") : QuoteText(node.group)) +
         ",\"user_in_group\":" + Bool(node.userInGroup) +
         ",\"usb_id\":" + UsbId(node.onUsb, node.usbVendor, node.usbProduct);
}

std::string OrNull(const std::string& text) {
  return text.empty() ? "null" : QuoteText(text);
}

}  // namespace

void JsonHid(const Report& report, std::string& out) {
  out += ",\"hid\":[";
  for (std::size_t i = 0; i < report.hid.size(); ++i) {
    const HidEntry& e = report.hid[i];
    out +=
        std::string(i == 0 ? "" : ",") + "{\"path\":" + QuoteText(e.path) +
        ",\"opens\":" + Bool(e.opened) + ",\"open_error\":" +
        (e.opened || !e.hidClass ? std::string("null") : Quote(FailureKey(e.openFailure))) +
        ",\"held_by\":" + Holders(e.holders) + "," + Node(e.node) +
        ",\"manufacturer\":" + (e.opened ? QuoteText(Utf8(e.facts.manufacturer)) : "null") +
        ",\"product\":" + (e.opened ? QuoteText(Utf8(e.facts.product)) : "null") +
        ",\"input_report_length\":" +
        (e.facts.lengthsRead ? std::to_string(e.facts.inputLength) : "null") +
        ",\"output_report_length\":" +
        (e.facts.lengthsRead ? std::to_string(e.facts.outputLength) : "null") +
        ",\"reached\":" + Bool(e.reached) + ",\"refused_by\":" +
        (e.opened || !e.hidClass
             ? (e.refusal == HidRefusal::kNone ? std::string("null") : Quote(RefusalKey(e.refusal)))
             : std::string("null")) +
        ",\"reader_by_usb_strings\":" + Bool(e.readerByUsbStrings) +
        ",\"probe_result\":" + Probe(e.probeResult) + ",\"reader\":" + Bool(e.probeResult == kOk) +
        "}";
  }
  out += "]";
}

void JsonUsb(const Report& report, std::string& out) {
  out += ",\"usb\":[";
  for (std::size_t i = 0; i < report.usb.size(); ++i) {
    const UsbEntry& e = report.usb[i];
    out += std::string(i == 0 ? "" : ",") + "{\"path\":" + QuoteText(e.path) +
           ",\"tagged\":" + Bool(e.tagged) +
           ",\"usb_id\":" + UsbId(e.idKnown, e.vendor, e.product) + ",\"opens\":" + Bool(e.opened) +
           ",\"open_error\":" +
           (e.opened || !e.tagged ? std::string("null") : Quote(FailureKey(e.openFailure))) +
           ",\"held_by\":" + Holders(e.holders) + ",\"probe_result\":" + Probe(e.probeResult) +
           ",\"reader\":" + Bool(e.probeResult == kOk) + ",\"rule\":" + OrNull(e.ruleLine) + "}";
  }
  out += "]";
}

void JsonSerial(const Report& report, std::string& out) {
  out += ",\"serial\":{\"source\":" + QuoteText(report.serialSource) + ",\"ports\":[";
  for (std::size_t i = 0; i < report.serial.size(); ++i) {
    const SerialEntry& e = report.serial[i];
    out += std::string(i == 0 ? "" : ",") + "{\"number\":" + std::to_string(e.number) +
           ",\"path\":" + QuoteText(e.path) + ",\"device\":" + OrNull(e.node.resolved) +
           ",\"opens\":" + Bool(e.openFailure == OpenFailure::kNone && e.isPort) +
           ",\"open_error\":" +
           (e.openFailure == OpenFailure::kNone
                ? (e.isPort ? std::string("null") : Quote("not_a_port"))
                : Quote(FailureKey(e.openFailure))) +
           ",\"locked\":" + Bool(e.openFailure == OpenFailure::kBusy) +
           ",\"held_by\":" + Holders(e.holders) + "," + Node(e.node) +
           ",\"probe_result\":" + Probe(e.probeResult) +
           ",\"reader\":" + Bool(e.probeResult == kOk) + ",\"rule\":" + OrNull(e.ruleLine) + "}";
  }
  out += "]}";
}

void JsonDecoder(const Report& report, std::string& out) {
  out += ",\"decoder\":{\"file\":" + Quote(report.decoder.fileName) +
         ",\"found\":" + Bool(report.decoder.found) + ",\"path\":" + OrNull(report.decoder.path) +
         ",\"get_bmp\":" + Bool(report.decoder.getBmp) +
         ",\"error\":" + OrNull(report.decoder.error) + ",\"searched\":[";
  for (std::size_t i = 0; i < report.decoder.searched.size(); ++i) {
    out += (i == 0 ? "" : ",") + QuoteText(report.decoder.searched[i]);
  }
  out += "]}";
}

void JsonPortAndTemp(const Report& report, std::string& out) {
  const char* portState = report.port.use == platform::PortUse::kFree      ? "free"
                          : report.port.use == platform::PortUse::kUnknown ? "unknown"
                          : report.port.heldByTalvex                       ? "talvex"
                                                                           : "other";
  out += ",\"port\":{\"number\":" + std::to_string(report.port.port) +
         ",\"state\":" + Quote(portState) + ",\"holder\":" +
         (report.port.use == platform::PortUse::kHeld && report.port.holder.pid != 0
              ? "{\"pid\":" + std::to_string(report.port.holder.pid) +
                    ",\"name\":" + QuoteText(report.port.holder.name) + "}"
              : std::string("null")) +
         "}";

  out +=
      ",\"temp_folder\":{\"path\":" + QuoteText(report.temp.path) +
      ",\"usable\":" + Bool(report.temp.usable) + ",\"exists\":" + Bool(report.temp.folder.exists) +
      ",\"mode\":" + (report.temp.folder.exists ? Quote(Octal(report.temp.folder.mode)) : "null") +
      ",\"owned_by_user\":" + Bool(report.temp.folder.ownedByUser) +
      ",\"writable\":" + Bool(report.temp.folder.writable) + ",\"free_bytes\":" +
      (report.temp.folder.freeKnown ? std::to_string(report.temp.folder.freeBytes) : "null") + "}";
}

std::string FormatJson(const Report& report) {
  std::string out = "{\"version\":" + Quote(kVersion) + ",\"user\":" + QuoteText(report.user);
  JsonHid(report, out);
  JsonUsb(report, out);
  JsonSerial(report, out);
  JsonDecoder(report, out);
  JsonPortAndTemp(report, out);
  out += ",\"reader\":";
  if (report.readerSelector == 0) {
    out += "null";
  } else {
    const char* transport = report.readerSelector == kTransportHid   ? "hid"
                            : report.readerSelector == kTransportUsb ? "usb"
                                                                     : "serial";
    out += "{\"transport\":" + Quote(transport) +
           ",\"selector\":" + std::to_string(report.readerSelector) +
           ",\"path\":" + QuoteText(report.readerPath) + "}";
  }

  out += ",\"problems\":[";
  for (std::size_t i = 0; i < report.findings.size(); ++i) {
    const Finding& f = report.findings[i];
    out += (i == 0 ? "" : ",") + std::string("{\"code\":") +
           std::to_string(static_cast<int>(f.problem)) + ",\"what\":" + QuoteText(f.what) +
           ",\"fix\":" + QuoteText(f.fix) + "}";
  }
  out += "]";
  out += ",\"verdict\":" + Quote(report.findings.empty() ? "ready" : "not_ready") +
         ",\"exit_code\":" + std::to_string(report.ExitCode()) + "}\n";
  return out;
}

int RunDiagnosis(const ServerOptions& options) {
  const Report report = Diagnose(options.service.port);
  const std::string text = options.json ? FormatJson(report) : FormatText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return report.ExitCode();
}

}  // namespace talvex::diagnose
