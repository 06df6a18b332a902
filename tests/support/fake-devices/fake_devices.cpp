#include "support/fake-devices/fake_devices.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

#include "reader-sim/engine.h"

namespace talvex::fakedev {
namespace {

constexpr std::uint8_t kPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
constexpr std::size_t kHead = 7;

// Collects sent bytes until they hold one whole request frame. Bytes that do
// not start with the preamble are no frame and are dropped; what follows a
// complete frame (report padding) is dropped with it.
class FrameAssembler {
 public:
  bool Add(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* frame) {
    pending_.insert(pending_.end(), data, data + size);
    const std::size_t checked = std::min(pending_.size(), sizeof kPreamble);
    if (std::memcmp(pending_.data(), kPreamble, checked) != 0) {
      pending_.clear();
      return false;
    }
    if (pending_.size() < kHead) return false;
    const std::size_t total = kHead + (static_cast<std::size_t>(pending_[5]) << 8) + pending_[6];
    if (pending_.size() < total) return false;
    frame->assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(total));
    pending_.clear();
    return true;
  }
  void Reset() { pending_.clear(); }

 private:
  std::vector<std::uint8_t> pending_;
};

void WriteString(const std::u16string& text, bool terminate,
                 std::uint8_t (&buffer)[platform::kHidStringBufferSize]) {
  const std::size_t room = platform::kHidStringBufferSize / 2;
  const std::size_t units = std::min(text.size(), room);
  for (std::size_t i = 0; i < units; ++i) {
    buffer[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
    buffer[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
  if (terminate && units < room) {
    buffer[2 * units] = 0;
    buffer[2 * units + 1] = 0;
  }
}

}  // namespace

Responder EngineResponder(sim::Engine& engine) {
  sim::Engine* e = &engine;
  return
      [e](const std::uint8_t* request, std::size_t length) { return e->Handle(request, length); };
}

Responder FixedResponder(std::vector<std::uint8_t> answer) {
  return [answer = std::move(answer)](const std::uint8_t*, std::size_t) { return answer; };
}

// ---------------------------------------------------------------------------
// HID

struct FakeHidBackend::State {
  FakeHidConfig config;
  FakeHidLog log;
  bool open = false;
  FrameAssembler request;
  std::deque<std::array<std::uint8_t, kReportPayload>> answer;
};

namespace {

class FakeHidDevice : public platform::HidDevice {
 public:
  explicit FakeHidDevice(FakeHidBackend::State* state) : state_(state) {
    state_->open = true;
    state_->log.opens++;
    state_->request.Reset();
    state_->answer.clear();
  }
  ~FakeHidDevice() override {
    state_->open = false;
    state_->log.closes++;
  }

  bool GetManufacturerString(std::uint8_t (&buffer)[platform::kHidStringBufferSize]) override {
    state_->log.manufacturerRequests++;
    if (state_->config.manufacturerFails) return false;
    WriteString(state_->config.manufacturer, state_->config.terminateStrings, buffer);
    return true;
  }
  bool GetProductString(std::uint8_t (&buffer)[platform::kHidStringBufferSize]) override {
    state_->log.productRequests++;
    if (state_->config.productFails) return false;
    WriteString(state_->config.product, state_->config.terminateStrings, buffer);
    return true;
  }
  bool GetReportLengths(std::uint16_t* inputLength, std::uint16_t* outputLength) override {
    state_->log.capabilityRequests++;
    if (state_->config.capabilitiesFail) return false;
    *inputLength = state_->config.inputReportLength;
    *outputLength = state_->config.outputReportLength;
    return true;
  }

  bool SetOutputReport(const std::uint8_t (&report)[platform::kHidReportSize],
                       std::uint32_t* transferred) override {
    std::array<std::uint8_t, platform::kHidReportSize> copy;
    std::memcpy(copy.data(), report, copy.size());
    state_->log.outputReports.push_back(copy);
    if (state_->config.setReportFails) return false;
    *transferred = state_->config.setReportCount;
    std::vector<std::uint8_t> frame;
    if (state_->request.Add(report + 1, kReportPayload, &frame)) Answer(frame);
    return true;
  }

  bool GetInputReport(std::uint8_t (&report)[platform::kHidReportSize],
                      std::uint32_t* transferred) override {
    state_->log.inputReportsFetched++;
    if (state_->config.getReportFails || state_->answer.empty()) return false;
    report[0] = 0;
    std::memcpy(report + 1, state_->answer.front().data(), kReportPayload);
    state_->answer.pop_front();
    *transferred = state_->config.getReportCount;
    return true;
  }

 private:
  // The answer to a new request replaces whatever was left of the last one.
  void Answer(const std::vector<std::uint8_t>& frame) {
    state_->answer.clear();
    if (!state_->config.responder) return;
    const std::vector<std::uint8_t> bytes = state_->config.responder(frame.data(), frame.size());
    if (bytes.empty()) return;
    state_->log.framesAnswered++;
    for (std::size_t at = 0; at < bytes.size(); at += kReportPayload) {
      std::array<std::uint8_t, kReportPayload> payload{};
      std::memcpy(payload.data(), bytes.data() + at,
                  std::min<std::size_t>(kReportPayload, bytes.size() - at));
      state_->answer.push_back(payload);
    }
  }

  FakeHidBackend::State* state_;
};

}  // namespace

FakeHidBackend::FakeHidBackend() = default;
FakeHidBackend::~FakeHidBackend() = default;

std::size_t FakeHidBackend::Add(FakeHidConfig config) {
  auto state = std::make_unique<State>();
  state->config = std::move(config);
  devices_.push_back(std::move(state));
  return devices_.size() - 1;
}

FakeHidConfig& FakeHidBackend::Config(std::size_t index) {
  return devices_.at(index)->config;
}
const FakeHidLog& FakeHidBackend::Log(std::size_t index) const {
  return devices_.at(index)->log;
}
std::size_t FakeHidBackend::Size() const {
  return devices_.size();
}

int FakeHidBackend::OpenDevices() const {
  return static_cast<int>(
      std::count_if(devices_.begin(), devices_.end(), [](const auto& d) { return d->open; }));
}

bool FakeHidBackend::Enumerate(std::vector<platform::DeviceInterface>* out) {
  out->clear();
  if (enumerationFails_) return false;
  for (const auto& d : devices_) out->push_back({d->config.path, d->config.classGuid});
  return true;
}

std::unique_ptr<platform::HidDevice> FakeHidBackend::Open(const platform::DeviceInterface& device) {
  for (const auto& d : devices_) {
    if (d->config.path != device.path) continue;
    if (d->config.held || d->open) {  // opened without sharing
      d->log.refusedOpens++;
      return nullptr;
    }
    return std::make_unique<FakeHidDevice>(d.get());
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// USB driver

struct FakeUsbBackend::State {
  FakeUsbConfig config;
  FakeUsbLog log;
  bool open = false;
  FrameAssembler request;
  std::deque<std::uint8_t> answer;
};

namespace {

class FakeUsbDevice : public platform::UsbDevice {
 public:
  explicit FakeUsbDevice(FakeUsbBackend::State* state) : state_(state) {
    state_->open = true;
    state_->log.opens++;
    state_->request.Reset();
    state_->answer.clear();
  }
  ~FakeUsbDevice() override {
    state_->open = false;
    state_->log.closes++;
  }

  bool SendHead(const std::uint8_t* data, std::uint32_t size) override {
    state_->log.headSends.push_back(size);
    if (state_->config.sendHeadFails) return false;
    return Send(data, size);
  }
  bool SendBody(const std::uint8_t* data, std::uint32_t size) override {
    state_->log.bodySends.push_back(size);
    if (state_->config.sendBodyFails) return false;
    return Send(data, size);
  }
  bool ReceiveHead(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    state_->log.headReceives.push_back(size);
    if (state_->config.receiveHeadFails) return false;
    *transferred = HandOut(data, std::min(size, state_->config.headLimit));
    return true;
  }
  bool ReceiveBody(std::uint8_t* data, std::uint32_t size, std::uint32_t* transferred) override {
    state_->log.bodyReceives.push_back(size);
    if (state_->config.receiveBodyFails) return false;
    *transferred = HandOut(data, std::min(size, state_->config.bodyLimit));
    return true;
  }

 private:
  bool Send(const std::uint8_t* data, std::uint32_t size) {
    state_->log.sentBytes.insert(state_->log.sentBytes.end(), data, data + size);
    std::vector<std::uint8_t> frame;
    if (!state_->request.Add(data, size, &frame)) return true;
    state_->answer.clear();
    if (!state_->config.responder) return true;
    const std::vector<std::uint8_t> bytes = state_->config.responder(frame.data(), frame.size());
    if (!bytes.empty()) state_->log.framesAnswered++;
    state_->answer.assign(bytes.begin(), bytes.end());
    return true;
  }

  std::uint32_t HandOut(std::uint8_t* data, std::uint32_t size) {
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::size_t>(size, state_->answer.size()));
    std::copy_n(state_->answer.begin(), n, data);
    state_->answer.erase(state_->answer.begin(), state_->answer.begin() + n);
    return n;
  }

  FakeUsbBackend::State* state_;
};

}  // namespace

FakeUsbBackend::FakeUsbBackend() = default;
FakeUsbBackend::~FakeUsbBackend() = default;

std::size_t FakeUsbBackend::Add(FakeUsbConfig config) {
  auto state = std::make_unique<State>();
  state->config = std::move(config);
  devices_.push_back(std::move(state));
  return devices_.size() - 1;
}

FakeUsbConfig& FakeUsbBackend::Config(std::size_t index) {
  return devices_.at(index)->config;
}
const FakeUsbLog& FakeUsbBackend::Log(std::size_t index) const {
  return devices_.at(index)->log;
}
std::size_t FakeUsbBackend::Size() const {
  return devices_.size();
}

int FakeUsbBackend::OpenDevices() const {
  return static_cast<int>(
      std::count_if(devices_.begin(), devices_.end(), [](const auto& d) { return d->open; }));
}

bool FakeUsbBackend::Enumerate(std::vector<platform::DeviceInterface>* out) {
  out->clear();
  if (enumerationFails_) return false;
  for (const auto& d : devices_) out->push_back({d->config.path, d->config.classGuid});
  return true;
}

std::unique_ptr<platform::UsbDevice> FakeUsbBackend::Open(const platform::DeviceInterface& device) {
  for (const auto& d : devices_) {
    if (d->config.path != device.path) continue;
    if (d->config.held || d->open) {
      d->log.refusedOpens++;
      return nullptr;
    }
    return std::make_unique<FakeUsbDevice>(d.get());
  }
  return nullptr;
}

}  // namespace talvex::fakedev
