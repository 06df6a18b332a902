// The Winsock event primitives the event loop is built on.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/net.h"
#include "platform/net_testing.h"

namespace talvex::platform {
namespace {

class Win32Network : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net.Startup());
    ASSERT_TRUE(CreateSocketPair(&a, &b));
  }
  void TearDown() override {
    net.CloseSocket(a);
    net.CloseSocket(b);
    events.clear();
    net.Cleanup();
  }
  NetEvent Event() {
    events.push_back(net.CreateEvent());
    return events.back().get();
  }
  void SendByte(Socket s, std::uint8_t value = 'x') {
    std::size_t n = 0;
    ASSERT_EQ(net.Send(s, &value, 1, &n), IoStatus::kDone);
    ASSERT_EQ(n, 1u);
  }

  Network& net = SystemNetwork();
  Socket a = kInvalidSocket;
  Socket b = kInvalidSocket;
  std::vector<OwnedNetEvent> events;
};

TEST_F(Win32Network, StopSignalIsReportedOnceThenCleared) {
  auto stop = CreateStopSignal();
  ASSERT_NE(stop, nullptr);
  NetEvent clientEvent = Event();
  ASSERT_TRUE(net.SelectEvents(b, clientEvent, kNetRead | kNetClose));
  stop->Set();
  NetEvent table[2] = {stop->Event(), clientEvent};
  EXPECT_EQ(WaitAny(table, 2), 0);
  // The report cleared it: the next wait sees only the client's data.
  SendByte(a);
  EXPECT_EQ(WaitAny(table, 2), 1);
}

TEST_F(Win32Network, LowestSignalledIndexComesFirstAndNullEntriesAreLeftOut) {
  Socket c = kInvalidSocket, d = kInvalidSocket;
  ASSERT_TRUE(CreateSocketPair(&c, &d));
  NetEvent first = Event();
  NetEvent second = Event();
  ASSERT_TRUE(net.SelectEvents(b, first, kNetRead | kNetClose));
  ASSERT_TRUE(net.SelectEvents(d, second, kNetRead | kNetClose));
  SendByte(c);
  SendByte(a);
  NetEvent table[4] = {nullptr, nullptr, second, first};
  // Both are signalled once the bytes arrive; the lower index wins.
  EXPECT_EQ(WaitAny(table, 4), 2);
  NetEvent onlyNull[2] = {nullptr, nullptr};
  EXPECT_EQ(WaitAny(onlyNull, 2), -1);
  net.CloseSocket(c);
  net.CloseSocket(d);
}

TEST_F(Win32Network, EnumEventsReportsDataThenThePeerClosing) {
  NetEvent e = Event();
  ASSERT_TRUE(net.SelectEvents(b, e, kNetRead | kNetClose));
  std::uint8_t buffer[8];
  std::size_t n = 99;
  // The socket is non-blocking now.
  EXPECT_EQ(net.Receive(b, buffer, sizeof buffer, &n), IoStatus::kWouldBlock);
  EXPECT_EQ(n, 0u);

  SendByte(a, 'q');
  NetEvent table[1] = {e};
  ASSERT_EQ(WaitAny(table, 1), 0);
  NetEventState state;
  ASSERT_TRUE(net.EnumEvents(b, e, &state));
  EXPECT_TRUE(state.readable);
  EXPECT_FALSE(state.closed);
  ASSERT_EQ(net.Receive(b, buffer, sizeof buffer, &n), IoStatus::kDone);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buffer[0], 'q');

  net.CloseSocket(a);
  a = kInvalidSocket;
  ASSERT_EQ(WaitAny(table, 1), 0);
  state = NetEventState{};
  ASSERT_TRUE(net.EnumEvents(b, e, &state));
  EXPECT_TRUE(state.closed);
  EXPECT_EQ(net.Receive(b, buffer, sizeof buffer, &n), IoStatus::kPeerClosed);
}

TEST_F(Win32Network, ListenerSignalsPendingConnectionsAndRefusesASecondBind) {
  Socket listener = OpenStreamSocket();
  ASSERT_NE(listener, kInvalidSocket);
  ASSERT_TRUE(Bind(listener, 0));
  ASSERT_TRUE(Listen(listener));
  std::uint16_t port = 0;
  ASSERT_TRUE(LocalPort(listener, &port));
  ASSERT_NE(port, 0);

  Socket rival = OpenStreamSocket();
  EXPECT_FALSE(Bind(rival, port));
  net.CloseSocket(rival);

  NetEvent e = Event();
  ASSERT_TRUE(net.SelectEvents(listener, e, kNetAccept));
  EXPECT_EQ(Accept(listener), kInvalidSocket);  // none pending, non-blocking
  Socket client = ConnectLoopback(port);
  ASSERT_NE(client, kInvalidSocket);
  NetEvent table[1] = {e};
  ASSERT_EQ(WaitAny(table, 1), 0);
  NetEventState state;
  ASSERT_TRUE(net.EnumEvents(listener, e, &state));
  EXPECT_TRUE(state.readable);
  Socket served = Accept(listener);
  EXPECT_NE(served, kInvalidSocket);
  net.CloseSocket(served);
  net.CloseSocket(client);
  net.CloseSocket(listener);
}

TEST_F(Win32Network, WaitsTimeOutOrReportReadiness) {
  EXPECT_EQ(net.WaitReadable(b, 20), WaitStatus::kTimeout);
  SendByte(a);
  EXPECT_EQ(net.WaitReadable(b, 2000), WaitStatus::kReady);
  EXPECT_EQ(net.WaitWritable(b, 2000), WaitStatus::kReady);
  int error = -1;
  ASSERT_TRUE(net.PendingError(b, &error));
  EXPECT_EQ(error, 0);
}

// The loop clears a client's event after one request: bytes still waiting
// behind it (a pipelined request) must raise it again, bytes all read must not.
TEST_F(Win32Network, ResetEventStaysRaisedOnlyWhileBytesWait) {
  NetEvent e = Event();
  ASSERT_TRUE(net.SelectEvents(b, e, kNetRead | kNetClose));
  auto stop = CreateStopSignal();
  ASSERT_NE(stop, nullptr);
  NetEvent table[2] = {e, stop->Event()};
  SendByte(a, '1');
  SendByte(a, '2');
  ASSERT_EQ(net.WaitReadable(b, 2000), WaitStatus::kReady);
  ASSERT_EQ(WaitAny(table, 2), 0);
  NetEventState state;
  ASSERT_TRUE(net.EnumEvents(b, e, &state));
  std::uint8_t byte = 0;
  std::size_t n = 0;
  ASSERT_EQ(net.Receive(b, &byte, 1, &n), IoStatus::kDone);
  net.ResetEvent(e);

  stop->Set();
  EXPECT_EQ(WaitAny(table, 2), 0) << "the second byte was forgotten";
  state = NetEventState{};
  ASSERT_TRUE(net.EnumEvents(b, e, &state));
  EXPECT_TRUE(state.readable);
  EXPECT_FALSE(state.closed);
  ASSERT_EQ(net.Receive(b, &byte, 1, &n), IoStatus::kDone);
  EXPECT_EQ(byte, '2');
  net.ResetEvent(e);
  EXPECT_EQ(WaitAny(table, 2), 1);  // nothing left: only the stop signal
}

TEST_F(Win32Network, SecondPendingConnectionIsSignalledAfterTheFirstIsAccepted) {
  Socket listener = OpenStreamSocket();
  ASSERT_TRUE(Bind(listener, 0));
  ASSERT_TRUE(Listen(listener));
  std::uint16_t port = 0;
  ASSERT_TRUE(LocalPort(listener, &port));
  NetEvent e = Event();
  ASSERT_TRUE(net.SelectEvents(listener, e, kNetAccept));
  Socket c1 = ConnectLoopback(port);
  Socket c2 = ConnectLoopback(port);
  ASSERT_NE(c2, kInvalidSocket);
  NetEvent table[1] = {e};
  ASSERT_EQ(WaitAny(table, 1), 0);
  Socket s1 = Accept(listener);
  ASSERT_NE(s1, kInvalidSocket);
  net.ResetEvent(e);
  ASSERT_EQ(WaitAny(table, 1), 0);
  Socket s2 = Accept(listener);
  EXPECT_NE(s2, kInvalidSocket);
  for (Socket s : {s1, s2, c1, c2, listener}) net.CloseSocket(s);
}

}  // namespace
}  // namespace talvex::platform
