// A scripted network for the event loop and the send/receive primitives:
// sockets are numbers, events remember what the test made happen, and every
// call is recorded.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/net.h"

namespace talvex::testing {

// An event of the fake; when its owner lets it go, it leaves the network's
// list of open events.
struct FakeEvent final : platform::NetEventObject {
  explicit FakeEvent(std::vector<FakeEvent*>* openList = nullptr) : open(openList) {
    if (open != nullptr) open->push_back(this);
  }
  ~FakeEvent() override {
    if (open != nullptr) open->erase(std::find(open->begin(), open->end(), this));
  }
  std::vector<FakeEvent*>* open;
  platform::Socket socket = platform::kInvalidSocket;
  unsigned mask = 0;
  bool signalled = false;
  bool isStop = false;
  platform::NetEventState state;
};

class FakeNetwork : public platform::Network {
 public:
  FakeNetwork() { stop_.isStop = true; }

  // Failure switches for the set-up and per-call paths.
  bool failStartup = false, failSocket = false, failBind = false, failListen = false;
  int failCreateEventAt = -1;  // the n-th CreateEvent (0-based) returns null
  int failSelectAt = -1;       // the n-th SelectEvents fails
  bool failAccept = false, failEnum = false, failWait = false;
  int waitIndexOverride = -1;  // a wait returns this once when >= 0
  static constexpr std::size_t kMaxWaits = 10000;

  // Run in order whenever a wait finds nothing signalled; once they are used
  // up, the stop signal is raised so that every loop ends.
  std::deque<std::function<void(FakeNetwork&)>> steps;

  platform::NetEvent StopEvent() { return &stop_; }
  void RaiseStop() { stop_.signalled = true; }

  // A connection waiting in the listen backlog.
  platform::Socket QueueConnection() {
    platform::Socket s = nextSocket_++;
    pending_.push_back(s);
    return s;
  }
  FakeEvent* EventOf(platform::Socket s) {
    for (FakeEvent* e : events_) {
      if (e->socket == s) return e;
    }
    return nullptr;
  }
  void MakeReadable(platform::Socket s) {
    FakeEvent* e = EventOf(s);
    e->state.readable = true;
    e->signalled = true;
  }
  void MakeClosed(platform::Socket s) {
    FakeEvent* e = EventOf(s);
    e->state.closed = true;
    e->signalled = true;
  }

  std::vector<platform::Socket> closedSockets;
  int openEvents() const { return static_cast<int>(events_.size()); }
  std::vector<bool> listenerInWait;  // per wait: was index 1 non-null
  std::vector<int> waitCounts;       // per wait: number of entries
  int cleanups = 0;
  platform::Socket listener = platform::kInvalidSocket;

  // Byte-level primitives: what Send accepts per call (0 = everything) and
  // how the waits answer.
  std::vector<std::size_t> sendSizes;
  std::size_t sendLimit = 0;
  std::deque<platform::IoStatus> sendScript;  // consumed first when non-empty
  std::deque<platform::WaitStatus> waitScript;
  std::deque<platform::IoStatus> receiveScript;
  std::vector<std::size_t> receiveSizes;
  std::string received;  // bytes handed out by Receive when the script says kDone
  int pendingErrorValue = 0;
  int writableWaits = 0, readableWaits = 0;

  bool Startup() override { return !failStartup; }
  void Cleanup() override { ++cleanups; }
  // Listeners: IPv4 only unless withIpv6; the failure switches above apply.
  bool withIpv6 = false;
  std::vector<platform::Socket> listeners;
  platform::ListenStatus OpenListener(const platform::IpAddress& address, std::uint16_t,
                                      platform::Socket* out) override {
    *out = platform::kInvalidSocket;
    if (address.v6 && !withIpv6) return platform::ListenStatus::kUnavailable;
    if (failSocket) return platform::ListenStatus::kSocketFailed;
    if (failBind) return platform::ListenStatus::kBindFailed;
    if (failListen) return platform::ListenStatus::kListenFailed;
    *out = nextSocket_++;
    listeners.push_back(*out);
    if (listener == platform::kInvalidSocket) listener = *out;
    return platform::ListenStatus::kListening;
  }
  // Consumed first by TryAccept when non-empty.
  std::deque<platform::AcceptStatus> acceptScript;
  platform::AcceptStatus TryAccept(platform::Socket, platform::Socket* out) override {
    *out = platform::kInvalidSocket;
    if (!acceptScript.empty()) {
      const auto st = acceptScript.front();
      acceptScript.pop_front();
      if (st != platform::AcceptStatus::kAccepted) return st;
    }
    if (failAccept) return platform::AcceptStatus::kFailed;
    if (pending_.empty()) return platform::AcceptStatus::kNonePending;
    *out = pending_.front();
    pending_.pop_front();
    return platform::AcceptStatus::kAccepted;
  }
  void CloseSocket(platform::Socket s) override { closedSockets.push_back(s); }
  platform::OwnedNetEvent CreateEvent() override {
    if (createCalls_++ == failCreateEventAt) return nullptr;
    return std::make_unique<FakeEvent>(&events_);
  }
  bool SelectEvents(platform::Socket s, platform::NetEvent ev, unsigned mask) override {
    if (selectCalls_++ == failSelectAt) return false;
    auto* e = static_cast<FakeEvent*>(ev);
    e->socket = s;
    e->mask = mask;
    return true;
  }
  // The time the fake clock shows; a wait that times out moves it on.
  std::int64_t nowMs = 1000000;
  std::int64_t NowMs() override { return nowMs; }
  std::vector<int> waitTimeouts;  // per WaitAnyFor: its time limit
  int WaitAnyFor(const platform::NetEvent* events, int count, int timeoutMs) override {
    waitTimeouts.push_back(timeoutMs);
    listenerInWait.push_back(count > 1 && events[1] != nullptr);
    waitCounts.push_back(count);
    if (failWait) return -1;
    // A loop that spins (serves the same readiness for ever) fails the wait
    // instead of hanging the test.
    if (waitCounts.size() > kMaxWaits) return -1;
    for (;;) {
      if (waitIndexOverride >= 0) {
        const int r = waitIndexOverride;
        waitIndexOverride = -1;
        return r;
      }
      for (int i = 0; i < count; ++i) {
        auto* e = static_cast<FakeEvent*>(events[i]);
        if (e == nullptr) continue;
        // The listener is level-triggered, like poll().
        const bool ready = (e->mask & platform::kNetAccept) ? !pending_.empty() : e->signalled;
        if (ready) {
          if (e->isStop) e->signalled = false;  // auto-reset
          return i;
        }
      }
      if (!steps.empty()) {
        auto step = std::move(steps.front());
        steps.pop_front();
        step(*this);
      } else if (timeoutMs >= 0) {
        nowMs += timeoutMs;
        return platform::kWaitTimedOut;
      } else {
        stop_.signalled = true;
      }
    }
  }
  bool EnumEvents(platform::Socket, platform::NetEvent ev, platform::NetEventState* st) override {
    if (failEnum) return false;
    auto* e = static_cast<FakeEvent*>(ev);
    *st = e->state;
    e->state = {};
    e->signalled = false;
    return true;
  }
  void ResetEvent(platform::NetEvent ev) override {
    static_cast<FakeEvent*>(ev)->signalled = false;
  }

  platform::IoStatus Receive(platform::Socket, std::uint8_t* data, std::size_t size,
                             std::size_t* count) override {
    *count = 0;
    receiveSizes.push_back(size);
    platform::IoStatus st = platform::IoStatus::kDone;
    if (!receiveScript.empty()) {
      st = receiveScript.front();
      receiveScript.pop_front();
    } else if (received.empty()) {
      st = platform::IoStatus::kWouldBlock;
    }
    if (st != platform::IoStatus::kDone) return st;
    std::size_t n = size < received.size() ? size : received.size();
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(received[i]);
    received.erase(0, n);
    *count = n;
    return st;
  }
  platform::IoStatus Send(platform::Socket, const std::uint8_t* data, std::size_t size,
                          std::size_t* count) override {
    *count = 0;
    if (!sendScript.empty()) {
      auto st = sendScript.front();
      sendScript.pop_front();
      if (st != platform::IoStatus::kDone) return st;
    }
    std::size_t n = (sendLimit != 0 && size > sendLimit) ? sendLimit : size;
    sendSizes.push_back(size);
    sentBytes.append(reinterpret_cast<const char*>(data), n);
    *count = n;
    return platform::IoStatus::kDone;
  }
  std::string sentBytes;
  // Sockets with bytes waiting: a readability wait on them is ready at once.
  std::vector<platform::Socket> dataWaiting;
  platform::WaitStatus WaitReadable(platform::Socket s, int timeoutMs) override {
    ++readableWaits;
    for (platform::Socket waiting : dataWaiting) {
      if (waiting == s) return platform::WaitStatus::kReady;
    }
    return NextWait(timeoutMs);
  }
  platform::WaitStatus WaitWritable(platform::Socket, int timeoutMs) override {
    ++writableWaits;
    return NextWait(timeoutMs);
  }
  std::vector<int> writableWaitLimits;
  platform::WaitStatus WaitWritableOrStop(platform::Socket, int timeoutMs,
                                          platform::NetEvent stop) override {
    ++writableWaits;
    writableWaitLimits.push_back(timeoutMs);
    if (stop != nullptr && static_cast<FakeEvent*>(stop)->signalled) {
      return platform::WaitStatus::kStopped;
    }
    return NextWait(timeoutMs);
  }
  bool PendingError(platform::Socket, int* error) override {
    *error = pendingErrorValue;
    return true;
  }

 private:
  platform::WaitStatus NextWait(int timeoutMs) {
    if (waitScript.empty() || waitScript.front() == platform::WaitStatus::kTimeout) {
      if (!waitScript.empty()) waitScript.pop_front();
      nowMs += timeoutMs;
      return platform::WaitStatus::kTimeout;
    }
    auto st = waitScript.front();
    waitScript.pop_front();
    return st;
  }

  FakeEvent stop_;
  platform::Socket nextSocket_ = 100;
  std::deque<platform::Socket> pending_;
  std::vector<FakeEvent*> events_;  // the open ones, oldest first
  int createCalls_ = 0;
  int selectCalls_ = 0;
};

}  // namespace talvex::testing
