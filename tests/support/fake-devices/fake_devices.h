// In-process HID and USB-driver devices for tests and the test server: a
// HidBackend and a UsbBackend whose devices answer request frames through a
// responder (normally the simulator's protocol engine), cut into 64-byte
// input reports or handed out as the head and body requests ask. Strings,
// report sizes, transfer counts, failures and "held by another program" are
// configurable per device, and every device keeps a log of what the host did.
//
// Not thread-safe: one thread drives a backend and its devices. A backend
// must outlive the devices it opened.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/usb.h"

namespace talvex::sim {
class Engine;
}

namespace talvex::fakedev {

// Answers one whole request frame; an empty answer is silence.
using Responder = std::function<std::vector<std::uint8_t>(const std::uint8_t*, std::size_t)>;

// A responder that hands every request to `engine` (not owned).
Responder EngineResponder(sim::Engine& engine);
// A responder that answers every request with the same bytes.
Responder FixedResponder(std::vector<std::uint8_t> answer);

inline constexpr std::uint32_t kReportPayload = platform::kHidReportSize - 1;  // 64
inline constexpr std::uint32_t kNoLimit = std::numeric_limits<std::uint32_t>::max();

struct FakeHidConfig {
  std::string path = "fakehid0";
  std::u16string classGuid = platform::kHidClassGuid;
  std::u16string manufacturer = u"KAVRO Technology";
  std::u16string product = u"TalvexReaderDevice";
  // Whether a string answer ends with a zero unit (when there is room for it
  // in the 256-byte buffer). Without it, what the buffer held before shows
  // behind a shorter string.
  bool terminateStrings = true;
  bool manufacturerFails = false;
  bool productFails = false;
  std::uint16_t inputReportLength = platform::kHidReportSize;
  std::uint16_t outputReportLength = platform::kHidReportSize;
  bool capabilitiesFail = false;
  bool held = false;  // another program holds it open: it does not open
  // Payload bytes each report request claims to have moved.
  std::uint32_t setReportCount = kReportPayload;
  std::uint32_t getReportCount = kReportPayload;
  bool setReportFails = false;
  bool getReportFails = false;
  Responder responder;  // null: the device never answers
};

struct FakeHidLog {
  int opens = 0;
  int closes = 0;
  int refusedOpens = 0;
  int manufacturerRequests = 0;
  int productRequests = 0;
  int capabilityRequests = 0;
  std::vector<std::array<std::uint8_t, platform::kHidReportSize>> outputReports;
  int inputReportsFetched = 0;  // input report requests, answered or not
  int framesAnswered = 0;
};

class FakeHidBackend : public platform::HidBackend {
 public:
  FakeHidBackend();
  ~FakeHidBackend() override;

  // Adds a device at the end of the enumeration; returns its index.
  std::size_t Add(FakeHidConfig config);
  FakeHidConfig& Config(std::size_t index);
  const FakeHidLog& Log(std::size_t index) const;
  std::size_t Size() const;
  // Devices open right now, over all devices.
  int OpenDevices() const;
  void SetEnumerationFails(bool fails) { enumerationFails_ = fails; }

  bool Enumerate(std::vector<platform::DeviceInterface>* out) override;
  std::unique_ptr<platform::HidDevice> Open(const platform::DeviceInterface& device) override;

  struct State;

 private:
  std::vector<std::unique_ptr<State>> devices_;
  bool enumerationFails_ = false;
};

struct FakeUsbConfig {
  std::string path = "fakeusb0";
  std::u16string classGuid = platform::kReaderDriverClassGuid;
  bool held = false;
  bool sendHeadFails = false;
  bool sendBodyFails = false;
  bool receiveHeadFails = false;
  bool receiveBodyFails = false;
  // At most this many bytes handed out by one receive request.
  std::uint32_t headLimit = kNoLimit;
  std::uint32_t bodyLimit = kNoLimit;
  Responder responder;
};

struct FakeUsbLog {
  int opens = 0;
  int closes = 0;
  int refusedOpens = 0;
  std::vector<std::uint32_t> headSends;     // size of every send-head request
  std::vector<std::uint32_t> bodySends;     // size of every send-body request
  std::vector<std::uint8_t> sentBytes;      // everything sent, in order
  std::vector<std::uint32_t> headReceives;  // size asked by every receive-head request
  std::vector<std::uint32_t> bodyReceives;  // size asked by every receive-body request
  int framesAnswered = 0;
};

class FakeUsbBackend : public platform::UsbBackend {
 public:
  FakeUsbBackend();
  ~FakeUsbBackend() override;

  std::size_t Add(FakeUsbConfig config);
  FakeUsbConfig& Config(std::size_t index);
  const FakeUsbLog& Log(std::size_t index) const;
  std::size_t Size() const;
  int OpenDevices() const;
  void SetEnumerationFails(bool fails) { enumerationFails_ = fails; }

  bool Enumerate(std::vector<platform::DeviceInterface>* out) override;
  std::unique_ptr<platform::UsbDevice> Open(const platform::DeviceInterface& device) override;

  struct State;

 private:
  std::vector<std::unique_ptr<State>> devices_;
  bool enumerationFails_ = false;
};

}  // namespace talvex::fakedev
