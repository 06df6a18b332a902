// The whole service loop over real loopback sockets, on a port of its own:
// pipelined requests, requests that get no answer, stop, and a taken port.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "http/loop.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/net.h"
#include "platform/net_testing.h"
#include "platform/thread.h"

namespace talvex {
namespace {

using platform::kInvalidSocket;
using platform::Socket;

// A port that was free a moment ago.
std::uint16_t FreePort() {
  platform::Network& net = platform::SystemNetwork();
  Socket s = platform::OpenStreamSocket();
  std::uint16_t port = 0;
  if (platform::Bind(s, 0)) platform::LocalPort(s, &port);
  net.CloseSocket(s);
  return port;
}

class LoopbackService : public ::testing::Test {
 protected:
  void SetUp() override {
    port = FreePort();
    ASSERT_NE(port, 0);
    stop = platform::CreateStopSignal();
    ASSERT_TRUE(stop);
    platform::Network& net = platform::SystemNetwork();
    handlers.readRequest = [&net](Socket s, RequestState& state, Request& request) {
      return ReadRequest(net, s, state, request);
    };
    // Stands in for the card read: a failure body with a count of the requests.
    handlers.handleReadCard = [&net, this](Socket s, const Request&) {
      ++served;
      return SendErrorResponse(net, s, ResultCode{128});
    };
    platform::NetEvent ev = stop->Event();
    thread = platform::Thread::Start([this, ev, &net]() {
      return ToNumber(RunHttpService(net, ev, ServiceConfig{port}, handlers));
    });
    ASSERT_TRUE(thread);
  }
  void TearDown() override {
    if (thread) {
      stop->Set();
      EXPECT_EQ(ResultCode{thread->Join()}, kOk);
    }
    for (Socket s : clients) platform::SystemNetwork().CloseSocket(s);
  }

  Socket Connect() {
    for (int i = 0; i < 200; ++i) {
      Socket s = platform::ConnectLoopback(port);
      if (s != kInvalidSocket) {
        clients.push_back(s);
        return s;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return kInvalidSocket;
  }
  void Write(Socket s, const std::string& bytes) {
    std::size_t sent = 0;
    ASSERT_EQ(platform::SystemNetwork().Send(s, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             bytes.size(), &sent),
              platform::IoStatus::kDone);
    ASSERT_EQ(sent, bytes.size());
  }
  // One whole failure response for 128, or what arrived before the peer closed.
  std::string ReadOneResponse(Socket s) {
    const std::size_t size = BuildHeaderBlock("Tue, 05 Mar 2024 08:09:07 GMT", 16).size() + 16;
    std::string out(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      std::size_t got = 0;
      if (platform::SystemNetwork().Receive(s, reinterpret_cast<std::uint8_t*>(out.data()) + done,
                                            size - done, &got) != platform::IoStatus::kDone) {
        break;
      }
      done += got;
    }
    out.resize(done);
    return out;
  }

  std::uint16_t port = 0;
  std::unique_ptr<platform::StopSignal> stop;
  std::unique_ptr<platform::Thread> thread;
  RequestHandlers handlers;
  std::vector<Socket> clients;
  int served = 0;
};

bool EndsWithFailureBody(const std::string& r) {
  return r.size() > 16 && r.compare(r.size() - 16, 16, "128|寻卡失败") == 0;
}

TEST_F(LoopbackService, PipelinedBurstIsAnsweredTwice) {
  Socket c = Connect();
  ASSERT_NE(c, kInvalidSocket);
  Write(c, "GET /readCard HTTP/1.1\r\nHost: x\r\n\r\nGET /readCard HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(EndsWithFailureBody(ReadOneResponse(c)));
  EXPECT_TRUE(EndsWithFailureBody(ReadOneResponse(c)));
}

TEST_F(LoopbackService, OtherRequestsGetNothingAndTheConnectionStays) {
  Socket c = Connect();
  ASSERT_NE(c, kInvalidSocket);
  Write(c, "GET /favicon.ico HTTP/1.1\r\n\r\nOPTIONS /readCard HTTP/1.1\r\n\r\n");
  Write(c, "GET /readCard HTTP/1.1\r\n\r\n");
  const std::string r = ReadOneResponse(c);
  EXPECT_TRUE(EndsWithFailureBody(r));
  EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);  // the first bytes are this response's
}

TEST_F(LoopbackService, ClientsAreServedOneAfterAnotherOnTheirOwnConnections) {
  Socket a = Connect();
  Socket b = Connect();
  ASSERT_NE(a, kInvalidSocket);
  ASSERT_NE(b, kInvalidSocket);
  Write(b, "GET /readCard HTTP/1.1\r\n\r\n");
  Write(a, "GET /readCard HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(EndsWithFailureBody(ReadOneResponse(a)));
  EXPECT_TRUE(EndsWithFailureBody(ReadOneResponse(b)));
  // A client that leaves does not disturb the other.
  platform::SystemNetwork().CloseSocket(a);
  clients.erase(clients.begin());
  Write(b, "GET /readCard HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(EndsWithFailureBody(ReadOneResponse(b)));
}

TEST_F(LoopbackService, StopClosesClientsAndTheListener) {
  Socket c = Connect();
  ASSERT_NE(c, kInvalidSocket);
  Write(c, "GET /readCard HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(EndsWithFailureBody(ReadOneResponse(c)));
  stop->Set();
  EXPECT_EQ(ResultCode{thread->Join()}, kOk);
  thread.reset();
  // The client sees the end of the stream, and nothing listens any more.
  EXPECT_EQ(ReadOneResponse(c), "");
  EXPECT_EQ(platform::ConnectLoopback(port), kInvalidSocket);
}

TEST(LoopbackPort, TakenPortEndsWithBindFailed) {
  platform::Network& net = platform::SystemNetwork();
  Socket holder = platform::OpenStreamSocket();
  ASSERT_TRUE(platform::Bind(holder, 0));
  ASSERT_TRUE(platform::Listen(holder));
  std::uint16_t port = 0;
  ASSERT_TRUE(platform::LocalPort(holder, &port));
  auto stop = platform::CreateStopSignal();
  RequestHandlers none;
  EXPECT_EQ(RunHttpService(net, stop->Event(), ServiceConfig{port}, none), kBindFailed);
  net.CloseSocket(holder);
}

TEST(LoopbackPort, StopSignalIsAutoReset) {
  // One Set ends one service run; the next run on the same signal waits again.
  platform::Network& net = platform::SystemNetwork();
  auto stop = platform::CreateStopSignal();
  RequestHandlers none;
  stop->Set();
  EXPECT_EQ(RunHttpService(net, stop->Event(), ServiceConfig{FreePort()}, none), kOk);
  const std::uint16_t port = FreePort();
  platform::NetEvent ev = stop->Event();
  auto t = platform::Thread::Start([&net, ev, port, &none]() {
    return ToNumber(RunHttpService(net, ev, ServiceConfig{port}, none));
  });
  ASSERT_TRUE(t);
  // Until the second run listens (one that took the first Set again ends).
  Socket client = kInvalidSocket;
  while (client == kInvalidSocket && !t->Finished()) client = platform::ConnectLoopback(port);
  EXPECT_FALSE(t->Finished());
  if (client != kInvalidSocket) net.CloseSocket(client);
  stop->Set();
  EXPECT_EQ(ResultCode{t->Join()}, kOk);
}

}  // namespace
}  // namespace talvex
