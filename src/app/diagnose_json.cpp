// The JSON report: the same findings as the text, as one object for scripts.
#include <cstdio>
#include <string_view>

#include "app/diagnose.h"
#include "app/diagnose_common.h"
#include "platform/utf.h"
#include "reader/session.h"

namespace talvex::diagnose {
namespace {

using platform::OpenFailure;

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
    if (i != 0) out += ',';
    out += std::string("{\"pid\":") + std::to_string(holders[i].pid) +
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

void JsonHid(const Report& report, std::string& out) {
  out += ",\"hid\":[";
  for (std::size_t i = 0; i < report.hid.size(); ++i) {
    const HidEntry& e = report.hid[i];
    out +=
        std::string(i == 0 ? "" : ",") + "{\"path\":" + QuoteText(e.path) +
        ",\"opens\":" + Bool(e.opened) + ",\"open_error\":" +
        (e.opened || !e.hidClass ? std::string("null") : Quote(FailureKey(e.openFailure))) +
        ",\"held_by\":" + Holders(e.holders) + "," + Node(e.node) +
        ",\"manufacturer\":" + (e.opened ? QuoteText(Utf16ToUtf8(e.facts.manufacturer)) : "null") +
        ",\"product\":" + (e.opened ? QuoteText(Utf16ToUtf8(e.facts.product)) : "null") +
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
    if (i != 0) out += ',';
    out += QuoteText(report.decoder.searched[i]);
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

}  // namespace

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
    if (i != 0) out += ',';
    out += std::string("{\"code\":") + std::to_string(static_cast<int>(f.problem)) +
           ",\"what\":" + QuoteText(f.what) + ",\"fix\":" + QuoteText(f.fix) + "}";
  }
  out += "]";
  out += ",\"verdict\":" + Quote(report.findings.empty() ? "ready" : "not_ready") +
         ",\"exit_code\":" + std::to_string(report.ExitCode()) + "}\n";
  return out;
}

}  // namespace talvex::diagnose
