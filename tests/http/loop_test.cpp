// The event loop's rules, driven by a scripted network.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "http/loop.h"
#include "http/service.h"
#include "support/fake_network.h"

namespace talvex {
namespace {

using platform::Socket;
using testing::FakeEvent;
using testing::FakeNetwork;

struct Recorder {
  std::vector<Socket> reads;
  std::vector<Socket> cards;
  std::vector<ResultCode> readResults;  // consumed per read; 0 when empty
  std::vector<ResultCode> cardResults;
  int cardFlag = 1;

  RequestHandlers Handlers() {
    RequestHandlers h;
    h.readRequest = [this](Socket s, RequestState&, Request& request) {
      reads.push_back(s);
      request.cardRequest = cardFlag;
      if (readResults.empty()) return kOk;
      ResultCode r = readResults.front();
      readResults.erase(readResults.begin());
      return r;
    };
    h.handleReadCard = [this](Socket s, const Request&) {
      cards.push_back(s);
      if (cardResults.empty()) return kOk;
      ResultCode r = cardResults.front();
      cardResults.erase(cardResults.begin());
      return r;
    };
    return h;
  }
};

bool Closed(const FakeNetwork& net, Socket s) {
  return std::count(net.closedSockets.begin(), net.closedSockets.end(), s) == 1;
}

// ---- Set-up failures: each ends the thread with its code and leaves nothing open.

TEST(ServiceSetUp, EachFailureEndsWithItsCodeAndReleasesWhatWasMade) {
  struct Case {
    const char* what;
    void (*arrange)(FakeNetwork&);
    ResultCode expected;
    bool listenerClosed;
  };
  const Case cases[] = {
      {"startup", [](FakeNetwork& n) { n.failStartup = true; }, kOutOfMemory, false},
      {"socket", [](FakeNetwork& n) { n.failSocket = true; }, kSocketError, false},
      {"bind", [](FakeNetwork& n) { n.failBind = true; }, kBindFailed, false},
      {"listen", [](FakeNetwork& n) { n.failListen = true; }, kListenFailed, false},
      {"listener event", [](FakeNetwork& n) { n.failCreateEventAt = 0; }, kOutOfMemory, true},
      {"listener select", [](FakeNetwork& n) { n.failSelectAt = 0; }, kEventSelectFailed, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNetwork net;
    c.arrange(net);
    Recorder rec;
    EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), c.expected);
    EXPECT_EQ(net.openEvents(), 0);
    EXPECT_EQ(net.closedSockets.size(), c.listenerClosed ? 1u : 0u);
    EXPECT_EQ(net.cleanups, c.expected == kOutOfMemory && !c.listenerClosed ? 0 : 1);
  }
}

TEST(ServiceSetUp, StopEndsWithZeroAndClosesListenerAndClientsButNotTheStopSignal) {
  FakeNetwork net;
  Socket a = net.QueueConnection();
  Socket b = net.QueueConnection();
  Recorder rec;
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), kOk);
  EXPECT_TRUE(Closed(net, a));
  EXPECT_TRUE(Closed(net, b));
  EXPECT_TRUE(Closed(net, net.listener));
  EXPECT_EQ(net.openEvents(), 0);
  EXPECT_EQ(net.cleanups, 1);
}

// ---- Wait order: the lowest signalled index, one per turn.

TEST(EventLoopOrder, StopSignalWinsOverReadyClients) {
  FakeNetwork net;
  Socket a = net.QueueConnection();
  Recorder rec;
  net.steps.push_back([a](FakeNetwork& n) {
    n.MakeReadable(a);
    n.RaiseStop();
  });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), kOk);
  EXPECT_TRUE(rec.reads.empty());
}

TEST(EventLoopOrder, ListenerBeforeClientsAndClientsInTableOrder) {
  FakeNetwork net;
  Socket a = net.QueueConnection();
  Socket b = net.QueueConnection();
  Socket c = net.QueueConnection();
  Recorder rec;
  Socket late = 0;
  net.steps.push_back([&](FakeNetwork& n) {
    n.MakeReadable(c);
    n.MakeReadable(a);
    late = n.QueueConnection();  // accepted before either client is served
  });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), kOk);
  EXPECT_EQ(rec.reads, (std::vector<Socket>{a, c}));
  // Two connections at once: both accepted, one per turn, before any client.
  EXPECT_EQ(net.waitCounts[0], 2);
  EXPECT_EQ(net.waitCounts[1], 3);
  EXPECT_EQ(net.waitCounts[2], 4);
  EXPECT_EQ(net.waitCounts[3], 5);  // the late one joined before a was served
  EXPECT_NE(late, 0);
  (void)b;
}

TEST(EventLoopOrder, ReadyClientsAreServedInTurn) {
  // Three clients with requests queued: each is ready again after its turn,
  // and still the others come first.
  FakeNetwork net;
  std::vector<Socket> clients = {net.QueueConnection(), net.QueueConnection(),
                                 net.QueueConnection()};
  Recorder rec;
  RequestHandlers h = rec.Handlers();
  auto card = h.handleReadCard;
  h.handleReadCard = [&, card](Socket s, const Request& r) {
    const ResultCode code = card(s, r);
    net.MakeReadable(s);
    if (rec.cards.size() == 7) net.RaiseStop();
    return code;
  };
  net.steps.push_back([&](FakeNetwork& n) {
    for (Socket s : clients) n.MakeReadable(s);
  });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, h), kOk);
  const std::vector<Socket> expected = {clients[0], clients[1], clients[2], clients[0],
                                        clients[1], clients[2], clients[0]};
  EXPECT_EQ(rec.cards, expected);
}

TEST(EventLoopOrder, ARequestThatRunsOutOfTimeIsEndedWithoutAnotherByte) {
  // A card request whose announced body never comes is served when its 15 s
  // are over; one whose header block never ends is dropped (305). Either
  // way the connection goes, so that a slow client cannot hold it.
  for (const char* head : {"GET /readCard HTTP/1.1\r\nContent-Length: 9\r\n\r\n",
                           "GET /readCard HTTP/1.1\r\nHost: x"}) {
    SCOPED_TRACE(head);
    FakeNetwork net;
    Socket a = net.QueueConnection();
    Recorder rec;
    RequestHandlers h = rec.Handlers();
    h.readRequest = [&net](Socket s, RequestState& state, Request& request) {
      return ReadRequest(net, s, state, request);
    };
    net.steps.push_back([a, head](FakeNetwork& n) {
      n.received = head;
      n.MakeReadable(a);
    });
    EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, h), kOk);
    const bool body = std::string(head).find("Length") != std::string::npos;
    EXPECT_EQ(rec.cards.size(), body ? 1u : 0u);
    EXPECT_NE(std::find(net.waitTimeouts.begin(), net.waitTimeouts.end(), kRequestTimeMs),
              net.waitTimeouts.end());
    EXPECT_EQ(std::count(net.closedSockets.begin(), net.closedSockets.end(), a), 1);
    EXPECT_EQ(net.waitCounts.back(), kFirstClientIndex);  // gone before the last wait
  }
}

TEST(ServiceSetUp, ListensOnLoopbackOnlyByDefaultAndWithoutIpv6WhereThereIsNone) {
  ServiceConfig config;
  const std::vector<ListenPlanEntry> plan = ListenPlan(config);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_FALSE(plan[0].address.v6);
  EXPECT_FALSE(plan[0].optional);
  EXPECT_TRUE(plan[1].address.v6);
  EXPECT_TRUE(plan[1].optional);
  for (bool ipv6 : {false, true}) {
    FakeNetwork net;
    net.withIpv6 = ipv6;
    Recorder rec;
    EXPECT_EQ(RunHttpService(net, net.StopEvent(), config, rec.Handlers()), kOk);
    EXPECT_EQ(net.listeners.size(), ipv6 ? 2u : 1u);
  }
  // An address the site named must be there.
  platform::IpAddress any6;
  ASSERT_TRUE(platform::ParseIpAddress("::", &any6));
  config.listen = {any6};
  FakeNetwork net;
  Recorder rec;
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), config, rec.Handlers()), kBindFailed);
}

// ---- Client turns.

TEST(EventLoopClient, PeerClosedWinsOverDataAndRemovesWithoutReading) {
  FakeNetwork net;
  Socket a = net.QueueConnection();
  Recorder rec;
  net.steps.push_back([a](FakeNetwork& n) {
    n.MakeReadable(a);
    n.MakeClosed(a);
  });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), kOk);
  EXPECT_TRUE(rec.reads.empty());
  EXPECT_TRUE(Closed(net, a));
}

TEST(EventLoopClient, NonCardRequestGetsNothingAndStays) {
  FakeNetwork net;
  Socket a = net.QueueConnection();
  Recorder rec;
  rec.cardFlag = 0;
  net.steps.push_back([a](FakeNetwork& n) { n.MakeReadable(a); });
  net.steps.push_back([a](FakeNetwork& n) { n.MakeReadable(a); });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), kOk);
  EXPECT_EQ(rec.reads.size(), 2u);
  EXPECT_TRUE(rec.cards.empty());
  // Closed only once, at shutdown.
  EXPECT_TRUE(Closed(net, a));
}

TEST(EventLoopClient, ReaderFailuresAndRequestsOutOfTimeCloseTheConnection) {
  for (ResultCode code : {kSocketError, kPeerClosed, kNetTimeout}) {
    SCOPED_TRACE(code);
    FakeNetwork net;
    Socket a = net.QueueConnection();
    Recorder rec;
    rec.readResults = {code};
    std::vector<int> countAfter;
    net.steps.push_back([a](FakeNetwork& n) { n.MakeReadable(a); });
    net.steps.push_back([&](FakeNetwork& n) { countAfter.push_back(n.closedSockets.size()); });
    EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), kOk);
    EXPECT_TRUE(rec.cards.empty());
    EXPECT_EQ(countAfter.at(0), 1u);
  }
}

TEST(EventLoopClient, HandlerFailuresCloseTheConnectionUnlessTheAnswerWentOut) {
  for (ResultCode code : {kSocketError, kNetTimeout, kHostRefused, kOk}) {
    SCOPED_TRACE(code);
    FakeNetwork net;
    Socket a = net.QueueConnection();
    Recorder rec;
    rec.cardResults = {code};
    std::size_t closedAfter = 99;
    net.steps.push_back([a](FakeNetwork& n) { n.MakeReadable(a); });
    net.steps.push_back([&](FakeNetwork& n) { closedAfter = n.closedSockets.size(); });
    EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), kOk);
    EXPECT_EQ(rec.cards.size(), 1u);
    // An answer that could not be sent in time, or one after which the
    // connection ends, takes the connection with it.
    EXPECT_EQ(closedAfter, code == kOk ? 0u : 1u);
  }
}

TEST(EventLoopClient, RequestWithoutMemoryLosesItsConnectionOnly) {
  FakeNetwork net;
  Socket a = net.QueueConnection();
  Socket b = net.QueueConnection();
  Recorder rec;
  RequestHandlers h = rec.Handlers();
  auto read = h.readRequest;
  h.readRequest = [read, a](Socket s, RequestState& state, Request& request) -> ResultCode {
    if (s == a) throw std::bad_alloc();
    return read(s, state, request);
  };
  std::size_t closedAfter = 99;
  net.steps.push_back([a](FakeNetwork& n) { n.MakeReadable(a); });
  net.steps.push_back([&](FakeNetwork& n) {
    closedAfter = n.closedSockets.size();
    n.MakeReadable(b);
  });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, h), kOk);
  EXPECT_EQ(closedAfter, 1u);
  EXPECT_EQ(rec.cards, (std::vector<Socket>{b}));
}

// ---- Failures inside the loop end the thread.

TEST(EventLoopFailure, LoopFailuresEndTheThreadWithTheirCodes) {
  struct Case {
    const char* what;
    void (*arrange)(FakeNetwork&, Socket);
    ResultCode expected;
    bool accepted = true;
  };
  const Case cases[] = {
      {"accept", [](FakeNetwork& n, Socket) { n.failAccept = true; }, kAcceptFailed, false},
      {"client event", [](FakeNetwork& n, Socket) { n.failCreateEventAt = 1; }, kOutOfMemory},
      {"client select", [](FakeNetwork& n, Socket) { n.failSelectAt = 1; }, kEventSelectFailed},
      {"enumeration",
       [](FakeNetwork& n, Socket s) {
         n.steps.push_back([s](FakeNetwork& m) {
           m.MakeReadable(s);
           m.failEnum = true;
         });
       },
       kEnumEventsFailed},
      {"neither readable nor closed",
       [](FakeNetwork& n, Socket s) {
         n.steps.push_back([s](FakeNetwork& m) { m.EventOf(s)->signalled = true; });
       },
       kEnumEventsFailed},
      {"wait", [](FakeNetwork& n, Socket) { n.failWait = true; }, kWaitFailed, false},
      {"index outside the table", [](FakeNetwork& n, Socket) { n.waitIndexOverride = 64; },
       kWaitFailed, false},
      {"index past the clients",
       [](FakeNetwork& n, Socket) {
         n.steps.push_back([](FakeNetwork& m) { m.waitIndexOverride = 5; });
       },
       kWaitFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNetwork net;
    Socket a = net.QueueConnection();
    c.arrange(net, a);
    Recorder rec;
    EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, rec.Handlers()), c.expected);
    EXPECT_EQ(net.openEvents(), 0);
    EXPECT_EQ(Closed(net, a), c.accepted);  // a client that was taken in is closed once
    EXPECT_TRUE(Closed(net, net.listener));
  }
}

// ---- The 62-client limit.

// A reader that keeps the listed sockets in the middle of a request (until
// its time runs out, as ReadRequest does) and finishes the others' at once.
RequestHandlers MidRequestHandlers(FakeNetwork& net, Recorder& rec,
                                   const std::vector<Socket>& midRequest) {
  RequestHandlers h = rec.Handlers();
  auto read = h.readRequest;
  h.readRequest = [&net, read, midRequest](Socket s, RequestState& state, Request& request) {
    if (std::find(midRequest.begin(), midRequest.end(), s) == midRequest.end()) {
      return read(s, state, request);
    }
    if (state.InProgress() && net.NowMs() >= state.DeadlineMs()) return kNetTimeout;
    if (!state.InProgress()) state.startedMs = net.NowMs();
    return kOk;  // request.cardRequest stays kRequestIncomplete
  };
  return h;
}

TEST(EventLoopOrder, ARequestOutOfTimeIsEndedWhileOtherClientsKeepTheWaitBusy) {
  FakeNetwork net;
  Socket slow = net.QueueConnection();
  Socket busy = net.QueueConnection();
  Recorder rec;
  const RequestHandlers h = MidRequestHandlers(net, rec, {slow});
  std::vector<Socket> closedBefore;
  net.steps.push_back([slow](FakeNetwork& n) { n.MakeReadable(slow); });
  net.steps.push_back([busy](FakeNetwork& n) {
    n.nowMs += kRequestTimeMs;  // the wait returns with a ready client, not a timeout
    n.MakeReadable(busy);
  });
  net.steps.push_back([&](FakeNetwork& n) { closedBefore = n.closedSockets; });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, h), kOk);
  EXPECT_EQ(closedBefore, (std::vector<Socket>{slow}));
  EXPECT_EQ(rec.cards, (std::vector<Socket>{busy}));  // and the ready one still served
}

TEST(EventLoopLimit, WhenFullTheClientLongestWithoutBeingServedMakesRoom) {
  FakeNetwork net;
  std::vector<Socket> clients;
  for (int i = 0; i < kMaxClients; ++i) clients.push_back(net.QueueConnection());
  Recorder rec;
  RequestHandlers h = MidRequestHandlers(net, rec, {clients[0]});
  auto read = h.readRequest;
  h.readRequest = [read, &rec, &clients](Socket s, RequestState& state, Request& request) {
    rec.cardFlag = s == clients[3] ? 0 : 1;  // a request nobody answers
    return read(s, state, request);
  };
  std::vector<Socket> closedBefore;
  std::vector<Socket> cardsBefore;
  net.steps.push_back([&](FakeNetwork& n) {
    n.nowMs += 10;
    n.MakeReadable(clients[0]);  // mid-request: never closed to make room
    n.MakeReadable(clients[1]);  // answered after the others were accepted
    n.MakeReadable(clients[3]);  // left unanswered: no service
  });
  net.steps.push_back([&](FakeNetwork& n) {
    n.nowMs += 10;
    // A request that has come but was not read yet is served first.
    n.dataWaiting = {clients[2]};
    clients.push_back(n.QueueConnection());
  });
  net.steps.push_back([&](FakeNetwork& n) {
    closedBefore = n.closedSockets;
    cardsBefore = rec.cards;
    n.MakeReadable(clients.back());
  });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, h), kOk);
  EXPECT_EQ(cardsBefore, (std::vector<Socket>{clients[1], clients[2]}));
  EXPECT_EQ(closedBefore, (std::vector<Socket>{clients[3]}));  // accepted first, never served
  EXPECT_EQ(rec.reads.back(), clients.back());
}

TEST(EventLoopLimit, WhenEveryClientIsMidRequestTheNewOneWaitsForTheirTimeToRunOut) {
  FakeNetwork net;
  std::vector<Socket> clients;
  for (int i = 0; i < kMaxClients; ++i) clients.push_back(net.QueueConnection());
  Recorder rec;
  const RequestHandlers h = MidRequestHandlers(net, rec, clients);
  std::size_t waitsWhenFull = 0;
  net.steps.push_back([&](FakeNetwork& n) {
    for (Socket s : clients) n.MakeReadable(s);
  });
  net.steps.push_back([&](FakeNetwork& n) { n.QueueConnection(); });
  net.steps.push_back([&](FakeNetwork& n) {
    // Full of requests in progress: the new one is still pending and the
    // listener is out of the wait, which does not spin.
    waitsWhenFull = n.waitCounts.size();
    EXPECT_FALSE(n.listenerInWait.back());
    EXPECT_EQ(n.waitCounts.back(), kEventTableSize);
    EXPECT_TRUE(n.closedSockets.empty());
  });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, h), kOk);
  // Their time ran out: each lost its connection, and the new one came in
  // (closed at the stop, with the listener).
  ASSERT_EQ(net.closedSockets.size(), static_cast<std::size_t>(kMaxClients + 2));
  std::vector<Socket> expired(net.closedSockets.begin(), net.closedSockets.begin() + kMaxClients);
  std::sort(expired.begin(), expired.end());
  EXPECT_EQ(expired, clients);
  EXPECT_TRUE(net.listenerInWait[waitsWhenFull]);
  EXPECT_EQ(net.waitTimeouts[waitsWhenFull - 1], kRequestTimeMs);
}

// ---- AcceptClient and RemoveClient on their own.

class ClientTable : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Socket listener = platform::kInvalidSocket;
    net.OpenListener(platform::IpAddress{}, 0, &listener);
    tables.listeners[tables.listenerCount++] = platform::OwnedSocket(net, listener);
    tables.listenerEvent = net.CreateEvent();
    for (int i = 0; i < 4; ++i) {
      sockets.push_back(net.QueueConnection());
      ASSERT_EQ(AcceptClient(net, tables), kOk);
    }
  }
  Socket SocketAt(int index) const { return tables.Client(index).socket.get(); }
  FakeNetwork net;
  ServiceTables tables;
  std::vector<Socket> sockets;
};

TEST_F(ClientTable, AcceptFillsIndicesInOrder) {
  EXPECT_EQ(tables.count, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(SocketAt(kFirstClientIndex + i), sockets[i]);
  EXPECT_EQ(SocketAt(6), platform::kInvalidSocket);
}

TEST_F(ClientTable, AcceptErrorsOfOneConnectionOrOfResourcesDoNotEndTheService) {
  using platform::AcceptStatus;
  const struct {
    AcceptStatus status;
    ResultCode code;
    int pauseMs;
  } cases[] = {
      {AcceptStatus::kNonePending, kOk, 0},      {AcceptStatus::kTransient, kOk, 0},
      {AcceptStatus::kNoDescriptor, kOk, 1000},  {AcceptStatus::kNoMemory, kOk, 100},
      {AcceptStatus::kFailed, kAcceptFailed, 0},
  };
  for (const auto& c : cases) {
    net.acceptScript = {c.status};
    int pauseMs = -1;
    EXPECT_EQ(AcceptClient(net, tables, &pauseMs), c.code);
    EXPECT_EQ(pauseMs, c.pauseMs);
    EXPECT_EQ(tables.count, 4);
  }
}

TEST_F(ClientTable, RemovingTheFirstMovesTheLastIntoItsPlace) {
  platform::NetEvent lastEvent = tables.Client(5).event.get();
  RemoveClient(tables, 2);
  EXPECT_EQ(tables.count, 3);
  EXPECT_EQ(SocketAt(2), sockets[3]);
  EXPECT_EQ(tables.Client(2).event.get(), lastEvent);
  EXPECT_EQ(SocketAt(3), sockets[1]);
  EXPECT_EQ(SocketAt(4), sockets[2]);
  EXPECT_EQ(SocketAt(5), platform::kInvalidSocket);
  EXPECT_EQ(tables.Client(5).event, nullptr);
  EXPECT_EQ(net.closedSockets, (std::vector<Socket>{sockets[0]}));
}

TEST_F(ClientTable, RemovingTheLastLeavesTheOthersInPlace) {
  RemoveClient(tables, 5);
  EXPECT_EQ(tables.count, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SocketAt(kFirstClientIndex + i), sockets[i]);
  EXPECT_EQ(SocketAt(5), platform::kInvalidSocket);
}

TEST_F(ClientTable, RemoveIgnoresTheListenerStopAndEmptyIndices) {
  RemoveClient(tables, kListenerIndex);
  RemoveClient(tables, kStopIndex);
  RemoveClient(tables, 6);
  EXPECT_EQ(tables.count, 4);
  EXPECT_TRUE(net.closedSockets.empty());
  ServiceTables empty;
  RemoveClient(empty, 2);
  EXPECT_EQ(empty.count, 0);
}

// ---- Event streams.

// Handlers whose events requests open a stream with a head of "HEAD".
RequestHandlers StreamHandlers(Recorder& rec) {
  rec.cardFlag = kEventsRequest;
  RequestHandlers h = rec.Handlers();
  h.openEvents = [](Socket, const Request&, std::string* head) {
    *head = "HEAD";
    return kOk;
  };
  return h;
}

TEST(EventLoopStreams, ProbesOnlyWhileAStreamIsOpenAndClosesOneThatTakesNothing) {
  FakeNetwork net;
  Socket a = net.QueueConnection();
  Recorder rec;
  RequestHandlers h = StreamHandlers(rec);
  std::vector<std::int64_t> probes;
  int quiet = 0;
  h.probeCard = [&](bool newcomers) {
    probes.push_back(net.nowMs);
    EXPECT_EQ(newcomers, probes.size() == 1);
    WatchStep step;
    if (probes.size() == 1) {
      step.send = WatchStep::Send::kCardToAll;
      step.body = "0|1|";
    }
    return step;
  };
  h.quietCard = [&]() { ++quiet; };
  // The peer never takes a byte.
  net.sendScript.assign(20000, platform::IoStatus::kWouldBlock);
  net.steps.push_back([a](FakeNetwork& n) { n.MakeReadable(a); });
  ServiceConfig config;
  config.pollMs = 500;
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), config, h), kOk);
  EXPECT_TRUE(Closed(net, a));
  EXPECT_EQ(quiet, 1);
  // A probe every 500 ms while the stream was open (15 s), none after.
  ASSERT_GE(probes.size(), 30u);
  EXPECT_LE(probes.size(), 31u);
  for (std::size_t i = 1; i < probes.size(); ++i) EXPECT_EQ(probes[i] - probes[i - 1], 500);
  EXPECT_TRUE(rec.cards.empty());
}

TEST(EventLoopStreams, StreamsTakeAtMostHalfOfTheSlots) {
  FakeNetwork net;
  std::vector<Socket> clients;
  for (int i = 0; i < kMaxStreams + 1; ++i) clients.push_back(net.QueueConnection());
  Recorder rec;
  RequestHandlers h = StreamHandlers(rec);
  int probes = 0;
  h.probeCard = [&](bool) {
    if (++probes == 2) net.RaiseStop();
    return WatchStep{};
  };
  for (Socket s : clients) net.steps.push_back([s](FakeNetwork& n) { n.MakeReadable(s); });
  EXPECT_EQ(RunHttpService(net, net.StopEvent(), ServiceConfig{}, h), kOk);
  // The one beyond half was closed at once, before the others at the stop.
  ASSERT_FALSE(net.closedSockets.empty());
  EXPECT_EQ(net.closedSockets.front(), clients.back());
  // Each of the others got its head.
  std::string heads;
  for (int i = 0; i < kMaxStreams; ++i) heads += "HEAD";
  EXPECT_EQ(net.sentBytes, heads);
}

}  // namespace
}  // namespace talvex
