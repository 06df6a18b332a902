// The text report: one section per kind of device, the decoder, the port
// and the temporary folder, then the verdict and what to fix.
#include <cinttypes>
#include <cstdio>
#include <iterator>

#include "app/diagnose.h"
#include "app/diagnose_common.h"
#include "platform/dynlib.h"
#include "platform/utf.h"
#include "reader/discovery.h"
#include "reader/serial.h"
#include "reader/session.h"

namespace talvex::diagnose {
namespace {

using platform::OpenFailure;

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

// Why the rules refused a HID device, naming the marks they look for.
std::string RefusalText(HidRefusal refusal) {
  const HidMarks& marks = ReaderHidMarks();
  switch (refusal) {
    case HidRefusal::kNone:
      return "none";
    case HidRefusal::kNotHidClass:
      return "its setup class is not the HID class";
    case HidRefusal::kManufacturerUnreadable:
      return "the manufacturer string cannot be read";
    case HidRefusal::kManufacturerMismatch:
      return "the manufacturer string does not contain \"" + Utf16ToUtf8(marks.manufacturer) + "\"";
    case HidRefusal::kProductUnreadable:
      return "the product string cannot be read";
    case HidRefusal::kProductMismatch:
      return "the product string does not contain \"" + Utf16ToUtf8(marks.product) + "\"";
    case HidRefusal::kCapabilitiesUnreadable:
      return "its report lengths cannot be read";
    case HidRefusal::kReportLengths:
      return "its input and output reports are not both " +
             std::to_string(platform::kHidReportSize) + " bytes";
  }
  return "unknown";
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

void TextHid(const Report& report, const char* tried, std::string& out) {
  out += "\nHID devices (tried " + std::string(tried) + ")\n";
  if (!report.hidEnumerated) out += "  the HID devices could not be listed\n";
  if (report.hid.empty()) out += "  none\n";
  for (const HidEntry& e : report.hid) {
    out += "  " + e.path + NodeSuffix(e.node) + "\n";
    if (!e.hidClass) {
      out += "      not a reader: " + RefusalText(e.refusal) + "\n";
      continue;
    }
    if (!e.opened) {
      out += "      does not open: " + AccessText(e.node, e.openFailure, e.holders) + "\n";
      if (e.readerByUsbStrings) out += "      its USB strings are a reader's\n";
      continue;
    }
    out += "      strings \"" + Utf16ToUtf8(e.facts.manufacturer) + "\" / \"" +
           Utf16ToUtf8(e.facts.product) + "\"";
    if (e.facts.lengthsRead) {
      out += ", reports " + std::to_string(e.facts.inputLength) + " in / " +
             std::to_string(e.facts.outputLength) + " out";
    }
    out += "\n";
    if (!e.reached) {
      out += "      not reached: discovery stops at the first device with the reader's strings\n";
    } else if (e.refusal != HidRefusal::kNone) {
      out += "      not a reader: " + RefusalText(e.refusal) + "\n";
    } else {
      out += "      " + ProbeText(e.probeResult) + "\n";
    }
  }
}

void TextUsb(const Report& report, const char* tried, std::string& out) {
  out += "\nUSB driver devices (tried " + std::string(tried) + ")\n";
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
    } else if (!e.reached) {
      out += "      not reached: discovery takes the first device that opens\n";
    } else {
      out += "      " + ProbeText(e.probeResult) + "\n";
    }
  }
}

void TextSerial(const Report& report, const char* tried, std::string& out) {
  out += "\nSerial ports " + std::to_string(kScanFirstPort) + "-" + std::to_string(kScanLastPort) +
         " (tried " + tried + "; " + report.serialSource + ")\n";
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
  const std::string extra = platform::LibrarySearchExtra();
  if (report.decoder.searched.size() > 1 && !extra.empty()) out += " and " + extra;
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
    if (report.temp.folder.modeKnown) {
      out += "mode " + Octal(report.temp.folder.mode) +
             (report.temp.folder.ownedByUser ? ", yours" : ", NOT yours") + ", ";
    }
    out += report.temp.folder.writable ? "writable" : "NOT writable";
    if (report.temp.folder.freeKnown)
      out += ", " + FormatBytes(report.temp.folder.freeBytes) + " free";
  }
  out += report.temp.usable ? "\n" : "; unusable\n";
}

// The reader sections in the order auto-detection tries them.
void TextReaders(const Report& report, std::string& out) {
  static constexpr const char* kTried[] = {"first", "second", "third"};
  constexpr std::size_t kCount = std::size(kDetectionOrder);
  for (std::size_t i = 0; i < kCount; ++i) {
    const char* tried = i + 1 == kCount ? "last" : kTried[i];
    switch (kDetectionOrder[i]) {
      case TransportKind::kHid:
        TextHid(report, tried, out);
        break;
      case TransportKind::kUsb:
        TextUsb(report, tried, out);
        break;
      case TransportKind::kSerial:
        TextSerial(report, tried, out);
        break;
      case TransportKind::kNone:
        break;
    }
  }
}

}  // namespace

std::string FormatText(const Report& report) {
  std::string out;
  out += "Talvex diagnosis (talvex-server " + std::string(kVersion) + ")" +
         (report.user.empty() ? "" : ", as user " + report.user) + "\n";

  TextReaders(report, out);
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

}  // namespace talvex::diagnose
