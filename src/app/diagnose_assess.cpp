// Assessment: which reader counts as found, and what to fix, in the order to
// fix it.
#include "app/diagnose.h"
#include "app/diagnose_common.h"
#include "platform/fs.h"
#include "platform/utf.h"
#include "reader/discovery.h"
#include "reader/session.h"

namespace talvex::diagnose {
namespace {

using platform::OpenFailure;

// The group to join for a reader's node: its own, unless the node is still
// root's (the rules have not run on it), where the rules' group will be.
std::string AccessGroup(const platform::DeviceNodeInfo& node) {
  return node.group.empty() || node.group == "root" ? std::string("plugdev") : node.group;
}

// With no reader answering, one the running Talvex holds counts as found:
// the first such device in the order auto-detection tries them.
void ReaderHeldByTalvex(Report& report) {
  for (const TransportKind kind : kDetectionOrder) {
    if (kind == TransportKind::kHid) {
      for (const HidEntry& e : report.hid) {
        if (e.openFailure == OpenFailure::kBusy && AllTalvex(e.holders)) {
          report.readerSelector = kTransportHid;
          report.readerPath = e.path;
          return;
        }
      }
    } else if (kind == TransportKind::kUsb) {
      for (const UsbEntry& e : report.usb) {
        if (e.tagged && AllTalvex(e.holders)) {
          report.readerSelector = kTransportUsb;
          report.readerPath = e.path;
          return;
        }
      }
    } else if (kind == TransportKind::kSerial) {
      for (const SerialEntry& e : report.serial) {
        if (e.openFailure == OpenFailure::kBusy && AllTalvex(e.holders)) {
          report.readerSelector = e.number;
          report.readerPath = e.path;
          return;
        }
      }
    }
  }
}

// Readers that may not be opened (denied) or that another program holds.
struct AccessFindings {
  std::vector<Finding> denied;
  std::vector<Finding> held;
};

// A reader device another program holds, named by `what`.
Finding HeldReader(const std::string& what, const std::vector<platform::ProcessRef>& holders) {
  return Finding{
      Problem::kReaderHeld,
      what + " is held by another program" + (holders.empty() ? "" : ": " + HoldersText(holders)),
      "close that program (only one program can use the reader)"};
}

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
      held.push_back(HeldReader("the HID reader " + e.path, e.holders));
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
      held.push_back(HeldReader("the USB reader " + e.path, e.holders));
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
    const HidMarks& marks = ReaderHidMarks();
    std::string fix = "connect the reader (and switch it on); a HID reader must report \"" +
                      Utf16ToUtf8(marks.manufacturer) + "\" and \"" + Utf16ToUtf8(marks.product) +
                      "\"";
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

}  // namespace

void Assess(Report& report) {
  report.findings.clear();
  const std::string user = report.user.empty() ? std::string("$USER") : report.user;
  if (report.readerSelector == 0) ReaderHeldByTalvex(report);
  if (report.readerSelector == 0) ReaderFinding(report, user);
  DecoderFinding(report);
  PortFinding(report);
  TempFinding(report, user);
}

}  // namespace talvex::diagnose
