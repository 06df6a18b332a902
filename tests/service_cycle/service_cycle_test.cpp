// Starting and stopping the service over and over: with nobody connected,
// with idle clients, and with a card request being served when the stop
// comes. The caller's thread and the service thread meet only at the stop
// signal (and the start report), so a ThreadSanitizer build of this test must
// stay silent, and every cycle must end with exit code 0 and every client
// connection closed by the service.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "http/loop.h"
#include "http/request.h"
#include "http/response.h"
#include "http/service.h"
#include "platform/devices.h"
#include "platform/net.h"
#include "platform/net_testing.h"
#include "platform/thread.h"
#include "support/no_devices.h"

namespace talvex {
namespace {

using platform::kInvalidSocket;
using platform::Socket;

constexpr int kCycles = 50;
constexpr int kClientWaitMs = 5000;

platform::Network& Net() {
  return platform::SystemNetwork();
}

std::uint16_t FreePort() {
  Socket s = platform::OpenStreamSocket();
  std::uint16_t port = 0;
  if (platform::Bind(s, 0)) platform::LocalPort(s, &port);
  Net().CloseSocket(s);
  return port;
}

// A client connection, closed at the end of its scope.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    for (int i = 0; i < 300 && socket_ == kInvalidSocket; ++i) {
      socket_ = platform::ConnectLoopback(port);
      if (socket_ == kInvalidSocket) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Client() {
    if (socket_ != kInvalidSocket) Net().CloseSocket(socket_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return socket_ != kInvalidSocket; }

  bool Send(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::size_t n = 0;
      if (Net().Send(socket_, reinterpret_cast<const std::uint8_t*>(bytes.data()) + done,
                     bytes.size() - done, &n) != platform::IoStatus::kDone) {
        return false;
      }
      done += n;
    }
    return true;
  }

  // Everything the service sends until it closes the connection. `closed`
  // tells whether it did within the wait (a silent open connection is a
  // fault: a stopped service closes every client).
  std::string ReadUntilClosed(bool& closed) {
    std::string out;
    closed = false;
    for (;;) {
      if (Net().WaitReadable(socket_, kClientWaitMs) != platform::WaitStatus::kReady) return out;
      std::uint8_t buffer[1024];
      std::size_t got = 0;
      const platform::IoStatus status = Net().Receive(socket_, buffer, sizeof buffer, &got);
      if (status == platform::IoStatus::kDone) {
        out.append(reinterpret_cast<const char*>(buffer), got);
        continue;
      }
      closed = status == platform::IoStatus::kPeerClosed || status == platform::IoStatus::kFailed;
      return out;
    }
  }

  // One whole answer: the header block and the Content-Length bytes after
  // it. False when the connection ended or went silent first.
  bool ReadAnswer(std::string& out) {
    out.clear();
    std::size_t want = std::string::npos;
    while (out.size() < want) {
      if (Net().WaitReadable(socket_, kClientWaitMs) != platform::WaitStatus::kReady) return false;
      std::uint8_t buffer[1024];
      std::size_t got = 0;
      if (Net().Receive(socket_, buffer, sizeof buffer, &got) != platform::IoStatus::kDone) {
        return false;
      }
      out.append(reinterpret_cast<const char*>(buffer), got);
      const std::size_t end = out.find("\r\n\r\n");
      const std::size_t field = out.find("Content-Length: ");
      if (want == std::string::npos && end != std::string::npos && field != std::string::npos) {
        want = end + 4 + std::stoul(out.substr(field + 16));
      }
    }
    return out.size() == want;
  }

 private:
  Socket socket_ = kInvalidSocket;
};

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The loop on a port of its own with a card handler that holds the request
// until the test lets it go, so that the stop arrives while a request is being
// served.
class LoopCycle : public ::testing::Test {
 protected:
  void Start() {
    port_ = FreePort();
    ASSERT_NE(port_, 0);
    stop_ = platform::CreateStopSignal();
    ASSERT_TRUE(stop_);
    entered_ = false;
    release_ = false;
    handlers_.readRequest = [](Socket s, RequestState& state, Request& request) {
      return ReadRequest(Net(), s, state, request);
    };
    handlers_.handleReadCard = [this](Socket s, const Request&) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return release_; });
      }
      return SendErrorResponse(Net(), s, ResultCode{128});
    };
    handlers_.listening = [this] { listening_.store(true, std::memory_order_release); };
    listening_ = false;
    platform::NetEvent ev = stop_->Event();
    const std::uint16_t port = port_;
    thread_ = platform::Thread::Start([this, ev, port] {
      return ToNumber(RunHttpService(Net(), ev, ServiceConfig{port}, handlers_));
    });
    ASSERT_TRUE(thread_);
  }
  // Sets the stop signal and returns the thread's exit code.
  ResultCode Stop() {
    stop_->Set();
    const ResultCode code{thread_->Join()};
    thread_.reset();
    stop_.reset();
    return code;
  }
  bool WaitUntilEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    changed_.notify_all();
  }

  std::uint16_t port_ = 0;
  std::unique_ptr<platform::StopSignal> stop_;
  std::unique_ptr<platform::Thread> thread_;
  RequestHandlers handlers_;
  std::atomic<bool> listening_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool release_ = false;
};

TEST_F(LoopCycle, StopRightAfterStartEndsWithZero) {
  for (int i = 0; i < kCycles; ++i) {
    Start();
    ASSERT_EQ(Stop(), kOk) << "cycle " << i;
  }
}

TEST_F(LoopCycle, IdleClientsAreClosedByEveryStop) {
  for (int i = 0; i < kCycles; ++i) {
    Start();
    Client a(port_);
    Client b(port_);
    ASSERT_TRUE(a.connected() && b.connected()) << "cycle " << i;
    // A request that gets no answer: whether the loop read it before the stop
    // or not, the client sees nothing but the close.
    ASSERT_TRUE(a.Send("GET / HTTP/1.1\r\n\r\n"));
    ASSERT_EQ(Stop(), kOk) << "cycle " << i;
    bool closed = false;
    EXPECT_EQ(a.ReadUntilClosed(closed), "") << "cycle " << i;
    EXPECT_TRUE(closed) << "cycle " << i;
    EXPECT_EQ(b.ReadUntilClosed(closed), "") << "cycle " << i;
    EXPECT_TRUE(closed) << "cycle " << i;
  }
}

TEST_F(LoopCycle, RequestInFlightIsAnsweredBeforeTheStopTakesEffect) {
  for (int i = 0; i < kCycles; ++i) {
    Start();
    Client c(port_);
    Client idle(port_);
    ASSERT_TRUE(c.connected() && idle.connected()) << "cycle " << i;
    ASSERT_TRUE(c.Send("GET /readCard HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntilEntered()) << "cycle " << i;
    // The stop is set while the handler runs; the loop sees it only after the
    // answer went out.
    stop_->Set();
    Release();
    const ResultCode code{thread_->Join()};
    thread_.reset();
    stop_.reset();
    ASSERT_EQ(code, kOk) << "cycle " << i;
    bool closed = false;
    const std::string answer = c.ReadUntilClosed(closed);
    EXPECT_TRUE(answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0) << "cycle " << i;
    EXPECT_TRUE(EndsWith(answer, "128|寻卡失败")) << "cycle " << i;
    EXPECT_TRUE(closed) << "cycle " << i;
    EXPECT_EQ(idle.ReadUntilClosed(closed), "") << "cycle " << i;
    EXPECT_TRUE(closed) << "cycle " << i;
  }
}

// Device backends with nothing attached, so that a card request through the
// real pipeline finds no reader at once, without touching this machine's
// ports. Each serial open takes a millisecond, which keeps the request in
// flight while the stop is set.
class NoSerialPorts final : public platform::SerialBackend {
 public:
  std::unique_ptr<platform::SerialPort> Open(int, int, const platform::CommTimeouts&) override {
    opens.fetch_add(1, std::memory_order_relaxed);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return nullptr;
  }
  std::atomic<int> opens{0};
};
class ServiceCycle : public ::testing::Test {
 protected:
  ServiceCycle() : devices_({&serial_, &hid_, &usb_}) {}
  void TearDown() override { StopHttpService(); }

  // Starts the service on a free port and waits until it listens; the port,
  // or 0 after a failure. Another program may bind the port between the probe
  // and the service's own bind: then the service starts again on another one.
  static std::uint16_t StartOnFreePort() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      const std::uint16_t port = FreePort();
      if (port == 0) break;
      ConfigureHttpService(ServiceConfig{port});
      if (StartHttpService() != 1) break;
      if (WaitUntilHttpServiceListens()) return port;
      const std::optional<ResultCode> code = HttpServiceExitCode();
      StopHttpService();
      if (code != kBindFailed) {
        ADD_FAILURE() << "the service did not listen on port " << port << ": "
                      << code.value_or(kOk);
        return 0;
      }
    }
    ADD_FAILURE() << "the service could not be started on a free port";
    return 0;
  }

  NoSerialPorts serial_;
  test::NoHid hid_;
  test::NoUsb usb_;
  platform::ScopedDeviceBackends devices_;
};

TEST_F(ServiceCycle, StartListenStopRepeats) {
  for (int i = 0; i < kCycles; ++i) {
    ASSERT_NE(StartOnFreePort(), 0) << "cycle " << i;
    ASSERT_TRUE(HttpServiceThreadExists());
    EXPECT_FALSE(HttpServiceExitCode());
    StopHttpService();
    EXPECT_FALSE(HttpServiceThreadExists());
    EXPECT_FALSE(HttpServiceExitCode());
  }
}

TEST_F(ServiceCycle, ClientsAndCardRequestsInFlightAcrossStops) {
  int answered = 0;
  for (int i = 0; i < kCycles; ++i) {
    const std::uint16_t port = StartOnFreePort();
    ASSERT_NE(port, 0) << "cycle " << i;
    Client idle(port);
    Client reader(port);
    ASSERT_TRUE(idle.connected() && reader.connected()) << "cycle " << i;
    ASSERT_TRUE(reader.Send("GET /readCard HTTP/1.1\r\n\r\n"));
    // Odd cycles wait for the whole answer before the stop; even ones stop
    // at once, while the request is read or served.
    bool closed = false;
    if (i % 2 == 1) {
      std::string head;
      ASSERT_TRUE(reader.ReadAnswer(head)) << "cycle " << i << ": " << head;
      ++answered;
    }
    StopHttpService();
    ASSERT_FALSE(HttpServiceThreadExists());
    const std::string answer = reader.ReadUntilClosed(closed);
    EXPECT_TRUE(closed) << "cycle " << i;
    // A stop may come before the request was read, never in the middle of
    // an answer: there is either none or a whole one.
    if (!answer.empty()) {
      EXPECT_TRUE(answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0) << "cycle " << i;
      EXPECT_NE(answer.find("\r\n\r\n"), std::string::npos) << "cycle " << i;
      const std::size_t body = answer.find("\r\n\r\n");
      EXPECT_NE(answer.compare(body == std::string::npos ? 0 : body + 4, 2, "0|"), 0)
          << "a card was read without a reader";
    }
    EXPECT_EQ(idle.ReadUntilClosed(closed), "") << "cycle " << i;
    EXPECT_TRUE(closed) << "cycle " << i;
  }
  EXPECT_GT(serial_.opens.load(), 0) << "no card request reached the reader search";
  RecordProperty("answered", answered);
}

}  // namespace
}  // namespace talvex
