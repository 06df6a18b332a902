// Probing: the readers as auto-detection's own survey reports them, with what
// the system adds about each (who holds it, why it does not open, its USB
// identity), then the photo decoder, the service port and the temporary
// folder.
#include <new>

#include "app/diagnose.h"
#include "app/diagnose_common.h"
#include "photo/decoder.h"
#include "platform/devices.h"
#include "platform/dynlib.h"
#include "platform/fs.h"
#include "platform/serial.h"
#include "platform/usb.h"
#include "platform/utf.h"
#include "reader/discovery.h"

namespace talvex::diagnose {
namespace {

using platform::OpenFailure;

constexpr std::uint64_t kMinFreeBytes = 1024 * 1024;  // the two photo files need far less

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

bool ReaderByUsbStrings(const platform::DeviceNodeInfo& node) {
  return node.onUsb && IsReaderManufacturer(Utf8ToUtf16(node.usbManufacturer)) &&
         IsReaderProduct(Utf8ToUtf16(node.usbProductName));
}

// Fills the report from the survey. The survey calls in the middle of its
// walk, where nothing may be thrown: running out of memory is remembered and
// thrown once the survey is over.
class ReportObserver final : public DiscoveryObserver {
 public:
  ReportObserver(Report& report, const Queries& queries) : report_(report), queries_(queries) {}

  bool outOfMemory = false;

  void ListFailed(TransportKind kind) override {
    if (kind == TransportKind::kHid) report_.hidEnumerated = false;
  }
  void SawHid(const HidCandidate& seen) override {
    Guard([&] {
      report_.hid.push_back(HidEntryOf(seen));
      if (seen.taken) takenHid_ = report_.hid.size() - 1;
    });
  }
  void SawUsb(const UsbCandidate& seen) override {
    if (!seen.readerClass) return;
    Guard([&] {
      report_.usb.push_back(UsbEntryOf(seen));
      if (seen.taken) takenUsb_ = report_.usb.size() - 1;
    });
  }
  void SawSerial(const SerialCandidate& seen) override {
    Guard([&] { AddSerial(seen); });
  }
  void Probed(TransportKind kind, ResultCode result) override {
    if (kind == TransportKind::kHid && takenHid_ < report_.hid.size()) {
      report_.hid[takenHid_].probeResult = result;
    } else if (kind == TransportKind::kUsb && takenUsb_ < report_.usb.size()) {
      report_.usb[takenUsb_].probeResult = result;
    }
  }

 private:
  template <class Work>
  void Guard(Work work) noexcept {
    try {
      work();
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  }

  HidEntry HidEntryOf(const HidCandidate& seen) const;
  UsbEntry UsbEntryOf(const UsbCandidate& seen) const;
  void AddSerial(const SerialCandidate& seen);

  Report& report_;
  const Queries& queries_;
  std::size_t takenHid_ = static_cast<std::size_t>(-1);
  std::size_t takenUsb_ = static_cast<std::size_t>(-1);
};

HidEntry ReportObserver::HidEntryOf(const HidCandidate& seen) const {
  HidEntry entry;
  entry.path = seen.interface->path;
  entry.reached = seen.reached;
  entry.node = queries_.describeNode(entry.path);
  entry.refusal = seen.refusal;
  if (seen.refusal == HidRefusal::kNotHidClass) {
    entry.hidClass = false;
    return entry;
  }
  if (seen.device == nullptr) {
    entry.openFailure = queries_.checkOpens(entry.path);
    if (entry.openFailure == OpenFailure::kNone) entry.openFailure = OpenFailure::kOther;
    if (entry.openFailure == OpenFailure::kBusy) entry.holders = queries_.holders(entry.path);
    entry.readerByUsbStrings = ReaderByUsbStrings(entry.node);
    return entry;
  }
  entry.opened = true;
  entry.facts = seen.facts;
  if (seen.refusal == HidRefusal::kManufacturerMismatch) {
    entry.facts.product = ProductStringForDisplay(*seen.device);
  }
  // The report sizes of a device the rules refused before asking for them:
  // only the facts are kept, the refusal stays the one the rules gave.
  if (!entry.facts.lengthsRead) (void)CheckHidReportLengths(*seen.device, &entry.facts);
  return entry;
}

UsbEntry ReportObserver::UsbEntryOf(const UsbCandidate& seen) const {
  UsbEntry entry;
  entry.path = seen.interface->path;
  entry.tagged = true;
  entry.reached = seen.reached;
  const platform::DeviceNodeInfo node = queries_.describeNode(entry.path);
  entry.idKnown = node.onUsb;
  entry.vendor = node.usbVendor;
  entry.product = node.usbProduct;
  entry.opened = seen.opened;
  if (!seen.opened) {
    entry.openFailure = queries_.checkOpens(entry.path);
    // The node opens, but the reader interface could not be claimed.
    if (entry.openFailure == OpenFailure::kNone) entry.openFailure = OpenFailure::kBusy;
    entry.holders = queries_.holders(entry.path);
  }
  return entry;
}

// Only the ports that exist are listed.
void ReportObserver::AddSerial(const SerialCandidate& seen) {
  SerialEntry entry;
  entry.number = seen.number;
  entry.path = queries_.serialPath(seen.number);
  if (entry.path.empty()) return;
  entry.node = queries_.describeNode(entry.path);
  if (!entry.node.exists) return;
  if (seen.opened) {
    entry.probeResult = seen.probe;
  } else {
    entry.openFailure = queries_.checkOpens(entry.path);
    if (entry.openFailure == OpenFailure::kNone) {
      entry.isPort = false;  // the node opens, but not as a serial line
    } else if (entry.openFailure == OpenFailure::kBusy) {
      entry.holders = queries_.holders(entry.path);
    } else if (entry.openFailure == OpenFailure::kPermissionDenied && entry.node.onUsb) {
      entry.ruleLine = SerialRuleLine(entry.node.usbVendor, entry.node.usbProduct);
    }
  }
  report_.serial.push_back(std::move(entry));
}

// Devices shaped like a reader that nothing marks as one yet: the USB walk
// passes them by, so they are listed apart.
void AddReaderLikeUsb(Report& report) {
  std::vector<platform::UsbReaderLike> alike;
  if (platform::Devices().usb != &platform::SystemUsbBackend() ||
      !platform::ListReaderLikeUsbDevices(&alike)) {
    return;
  }
  for (const platform::UsbReaderLike& device : alike) {
    if (device.tagged) continue;
    UsbEntry entry;
    entry.path = device.path;
    entry.vendor = device.vendor;
    entry.product = device.product;
    entry.idKnown = true;
    entry.ruleLine = UsbRuleLine(device.vendor, device.product);
    report.usb.push_back(std::move(entry));
  }
}

}  // namespace

void ProbeReaders(Report& report, const Queries& queries) {
  report.hid.clear();
  report.usb.clear();
  report.serial.clear();
  report.hidEnumerated = true;
  ReportObserver observer(report, queries);
  const SurveyResult found = SurveyReaders(observer);
  if (observer.outOfMemory) throw std::bad_alloc();
  report.readerSelector = found.selector;
  report.readerPath = found.port;
  // A serial reader is named by its device, as the port list shows it.
  for (const SerialEntry& e : report.serial) {
    if (e.number == found.selector) report.readerPath = e.path;
  }
  AddReaderLikeUsb(report);
  report.serialSource = platform::SerialPortSource();
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

}  // namespace talvex::diagnose
