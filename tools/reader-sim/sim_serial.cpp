#include "reader-sim/sim_serial.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace talvex::sim {

struct SimSerialBackend::State {
  struct Port {
    Engine* engine = nullptr;
    PortFault fault = PortFault::None;
    PortStats stats;
  };
  mutable std::mutex mutex;
  std::map<int, Port> ports;
  int totalOpens = 0;
  int totalCloses = 0;
};

namespace {

class SimPort : public platform::SerialPort {
 public:
  SimPort(std::shared_ptr<SimSerialBackend::State> state, int number, Engine* engine)
      : state_(std::move(state)), number_(number), engine_(engine) {}

  ~SimPort() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->totalCloses;
    auto it = state_->ports.find(number_);
    if (it != state_->ports.end()) {
      ++it->second.stats.closes;
      it->second.stats.open = false;
    }
  }

  void Purge() override {
    pending_.clear();
    offset_ = 0;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (auto* p = Find()) ++p->stats.purges;
  }

  void SetTimeouts(const platform::CommTimeouts& timeouts) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (auto* p = Find()) p->stats.lastTimeouts = timeouts;
  }

  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) override {
    PortFault fault;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      auto* p = Find();
      if (!p) return false;
      ++p->stats.writes;
      fault = p->fault;
    }
    if (fault == PortFault::WriteFails) return false;
    if (fault == PortFault::ShortWrite) {
      *written = size > 0 ? size - 1 : 0;
      return true;
    }
    std::vector<std::uint8_t> answer;
    engine_->Feed(data, size, &answer);
    pending_.insert(pending_.end(), answer.begin(), answer.end());
    *written = size;
    return true;
  }

  bool Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) override {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      auto* p = Find();
      if (!p) return false;
      ++p->stats.reads;
      if (p->fault == PortFault::ReadFails) return false;
    }
    const std::size_t available = pending_.size() - offset_;
    const std::size_t n = std::min<std::size_t>(size, available);
    if (n > 0) std::memcpy(data, pending_.data() + offset_, n);
    offset_ += n;
    if (offset_ == pending_.size()) {
      pending_.clear();
      offset_ = 0;
    }
    *got = static_cast<std::uint32_t>(n);
    return true;
  }

 private:
  // Null once the port has been detached: its calls then fail like those on
  // a device that was unplugged.
  SimSerialBackend::State::Port* Find() {
    auto it = state_->ports.find(number_);
    if (it == state_->ports.end() || it->second.engine != engine_) return nullptr;
    return &it->second;
  }

  std::shared_ptr<SimSerialBackend::State> state_;
  int number_;
  Engine* engine_;
  std::vector<std::uint8_t> pending_;  // answer bytes not yet read
  std::size_t offset_ = 0;
};

}  // namespace

SimSerialBackend::SimSerialBackend() : state_(std::make_shared<State>()) {}

SimSerialBackend::~SimSerialBackend() = default;

void SimSerialBackend::Attach(int number, Engine* engine) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->ports[number].engine = engine;
}

void SimSerialBackend::Detach(int number) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->ports.find(number);
  if (it != state_->ports.end()) it->second.engine = nullptr;
}

void SimSerialBackend::SetPortFault(int number, PortFault fault) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->ports[number].fault = fault;
}

std::unique_ptr<platform::SerialPort> SimSerialBackend::Open(
    int number, int baudRate, const platform::CommTimeouts& timeouts) {
  Engine* engine = nullptr;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->ports.find(number);
    if (it == state_->ports.end() || it->second.engine == nullptr) return nullptr;
    State::Port& port = it->second;
    if (port.stats.open) {
      ++port.stats.refusedOpens;
      return nullptr;
    }
    port.stats.open = true;
    ++port.stats.opens;
    ++state_->totalOpens;
    port.stats.lastBaudRate = baudRate;
    port.stats.lastTimeouts = timeouts;
    engine = port.engine;
  }
  // A new client on the line: whatever half frame the last one left is gone.
  engine->ResetStream();
  return std::make_unique<SimPort>(state_, number, engine);
}

PortStats SimSerialBackend::Stats(int number) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->ports.find(number);
  return it == state_->ports.end() ? PortStats{} : it->second.stats;
}

int SimSerialBackend::TotalOpens() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->totalOpens;
}

int SimSerialBackend::TotalCloses() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->totalCloses;
}

int SimSerialBackend::OpenPorts() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->totalOpens - state_->totalCloses;
}

}  // namespace talvex::sim
