// What auto-detection tells whoever watches it: each device it considers, in
// its own order, the rule that took or refused it, and what the probe
// answered. The service detects without a watcher; the diagnosis watches a
// survey, which goes on past the reader detection takes so that every device
// is seen, and still takes the same one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/result.h"
#include "platform/hid.h"
#include "platform/usb.h"
#include "reader/hid.h"
#include "reader/transport.h"

namespace talvex {

// The order auto-detection tries the transports in.
inline constexpr TransportKind kDetectionOrder[] = {TransportKind::kHid, TransportKind::kUsb,
                                                    TransportKind::kSerial};

// A HID device as the walk saw it.
struct HidCandidate {
  const platform::DeviceInterface* interface = nullptr;
  // Open for the length of the report, for any question the watcher adds;
  // null when it is not of the HID class or did not open.
  platform::HidDevice* device = nullptr;
  HidRefusal refusal = HidRefusal::kNone;  // kNone: it passes every rule
  HidFacts facts;                          // what it answered to the rules
  // False once the walk has ended at an earlier device: the first with the
  // reader's strings ends it, whether or not its report sizes then pass.
  bool reached = true;
  bool taken = false;
};

// A device interface as the USB driver walk saw it.
struct UsbCandidate {
  const platform::DeviceInterface* interface = nullptr;
  bool readerClass = false;  // of the reader driver's setup class
  bool opened = false;
  bool reached = true;  // false once an earlier device was taken: the first that opens
  bool taken = false;
};

// A serial port as the scan saw it (ports 1 to 32 in turn).
struct SerialCandidate {
  int number = 0;
  bool opened = false;
  std::optional<ResultCode> probe;  // none: not probed (it did not open)
};

// The watcher. It is called on the service thread in the middle of the walk,
// and must not throw.
class DiscoveryObserver {
 public:
  virtual ~DiscoveryObserver() = default;
  // The backend of `kind` could not list its devices.
  virtual void ListFailed(TransportKind kind) { (void)kind; }
  virtual void SawHid(const HidCandidate& candidate) { (void)candidate; }
  virtual void SawUsb(const UsbCandidate& candidate) { (void)candidate; }
  virtual void SawSerial(const SerialCandidate& candidate) { (void)candidate; }
  // What the probe answered from the device the HID or USB walk took.
  virtual void Probed(TransportKind kind, ResultCode result) { (void)kind, (void)result; }
};

// Where a survey ends: the reader auto-detection takes (selector 0 for
// none), and its port as the log names it (the device path, or "COMn").
struct SurveyResult {
  std::int32_t selector = 0;
  std::string port;
};

// Auto-detection with every device reported to `observer`: each transport
// is walked to its end, the devices past the one taken are checked by the
// same rules (a serial port past the reader is probed too), and the taken
// device of each walk gets the probe. Only the probe frame is sent, never the
// start-up command; nothing stays open afterwards.
SurveyResult SurveyReaders(DiscoveryObserver& observer);

}  // namespace talvex
