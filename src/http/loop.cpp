#include "http/loop.h"

#include <climits>
#include <new>

#include "http/event_streams.h"

namespace talvex {

using platform::AcceptStatus;
using platform::kInvalidSocket;
using platform::ListenStatus;
using platform::NetEvent;
using platform::NetEventState;
using platform::Network;
using platform::Socket;

namespace {

// How long the listeners rest after the process ran out of descriptors (or
// until a client leaves) and after the system ran out of buffers.
constexpr int kNoDescriptorPauseMs = 1000;
constexpr int kNoMemoryPauseMs = 100;

}  // namespace

bool MayBeClosedToMakeRoom(const ServiceTables& tables, int index) {
  // A client being answered holds the service thread, so it is never looked
  // at here; one in the middle of a request is left to its time limit. An
  // event stream is never closed to make room.
  const ServiceClient& client = tables.Client(index);
  return !client.request.InProgress() && !client.stream.open;
}

int ClientToMakeRoomFor(const ServiceTables& tables) {
  int chosen = -1;
  for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex; ++index) {
    if (!MayBeClosedToMakeRoom(tables, index)) continue;
    if (chosen < 0 ||
        tables.Client(index).request.lastServedMs < tables.Client(chosen).request.lastServedMs) {
      chosen = index;
    }
  }
  return chosen;
}

namespace {

// Takes one pending connection off the listeners. Every listener shares the
// one event: each is tried in turn, starting after the one that gave the
// last connection.
ResultCode TakePendingConnection(Network& net, ServiceTables& tables, Socket* client,
                                 int* pauseMs) {
  ResultCode result = kOk;
  const int n = tables.listenerCount;
  for (int k = 0; k < n && *client == kInvalidSocket && result == kOk; ++k) {
    const int li = (tables.nextListener + k) % n;
    switch (net.TryAccept(tables.listeners[li].get(), client)) {
      case AcceptStatus::kAccepted:
        tables.nextListener = (li + 1) % n;
        break;
      case AcceptStatus::kNonePending:
      case AcceptStatus::kTransient:
        break;
      case AcceptStatus::kNoDescriptor:
        if (pauseMs != nullptr) *pauseMs = kNoDescriptorPauseMs;
        k = n;
        break;
      case AcceptStatus::kNoMemory:
        if (pauseMs != nullptr) *pauseMs = kNoMemoryPauseMs;
        k = n;
        break;
      case AcceptStatus::kFailed:
        result = kAcceptFailed;
        break;
    }
  }
  net.ResetEvent(tables.listenerEvent.get());
  return result;
}

}  // namespace

ResultCode AcceptClient(Network& net, ServiceTables& tables, int* pauseMs) {
  if (pauseMs != nullptr) *pauseMs = 0;
  const int room = tables.count < kMaxClients ? -1 : ClientToMakeRoomFor(tables);
  if (tables.count >= kMaxClients && room < 0) {
    net.ResetEvent(tables.listenerEvent.get());
    return kOk;
  }
  Socket taken = kInvalidSocket;
  const ResultCode result = TakePendingConnection(net, tables, &taken, pauseMs);
  if (result != kOk || taken == kInvalidSocket) return result;
  platform::OwnedSocket socket(net, taken);
  platform::OwnedNetEvent event = net.CreateEvent();
  if (!event) return kOutOfMemory;
  if (!net.SelectEvents(socket.get(), event.get(), platform::kNetRead | platform::kNetClose)) {
    return kEventSelectFailed;
  }
  // With every slot taken, the client longest without being served makes
  // room for the new one.
  if (room >= 0) RemoveClient(tables, room);
  ServiceClient& client = tables.Client(tables.count + kFirstClientIndex);
  client.event = std::move(event);
  client.socket = std::move(socket);
  client.request.Reset();
  client.stream.Reset();
  client.request.lastServedMs = net.NowMs();
  tables.count += 1;
  return kOk;
}

void RemoveClient(ServiceTables& tables, int index) {
  if (tables.count < 1 || index < kFirstClientIndex) return;
  const int last = tables.count + 1;
  if (index > last) return;
  ServiceClient& gone = tables.Client(index);
  gone.socket.reset();
  gone.event.reset();
  ServiceClient& moved = tables.Client(last);
  if (index < last) gone = std::move(moved);
  moved.request.Reset();
  moved.stream.Reset();
  tables.count -= 1;
}

std::vector<ListenPlanEntry> ListenPlan(const ServiceConfig& config) {
  std::vector<ListenPlanEntry> plan;
  for (const platform::IpAddress& address : config.listen) plan.push_back({address, false});
  if (plan.empty()) {
    platform::IpAddress v4;
    platform::IpAddress v6;
    platform::ParseIpAddress("127.0.0.1", &v4);
    platform::ParseIpAddress("::1", &v6);
    plan.push_back({v4, false});
    plan.push_back({v6, true});
  }
  return plan;
}

namespace {

// One client turn: from the wait (its readiness is fetched first) or because
// its request's time ran out. kOk to go on, else the code that ends the loop.
ResultCode ServeClient(Network& net, ServiceTables& tables, int index, bool fromWait,
                       const RequestHandlers& handlers, bool& removed) {
  ServiceClient& client = tables.Client(index);
  const Socket socket = client.socket.get();
  removed = false;
  if (fromWait) {
    NetEventState state;
    if (!net.EnumEvents(socket, client.event.get(), &state)) return kEnumEventsFailed;
    if (state.closed) {
      // Peer-closed wins over data still waiting: it is discarded unread.
      RemoveClient(tables, index);
      removed = true;
      return kOk;
    }
    if (!state.readable) return kEnumEventsFailed;
  }
  // What a stream's client sends is no request.
  if (IsEventStream(tables, index)) {
    DrainEventStream(net, tables, index, &removed);
    return kOk;
  }

  Request request;
  ResultCode code = handlers.readRequest(socket, client.request, request);
  if (fromWait) net.ResetEvent(client.event.get());
  // A request that did not come within its time loses its connection, so
  // that a client sending slowly cannot hold a slot for ever; so does one
  // whose receive failed or whose peer left.
  if (code == kSocketError || code == kPeerClosed || code == kNetTimeout) {
    RemoveClient(tables, index);
    removed = true;
    return kOk;
  }
  if (code != kOk || request.cardRequest == kRequestIncomplete) return kOk;
  if (request.cardRequest == kEventsRequest && !request.expired) {
    OpenEventStream(net, tables, index, handlers, request, &removed);
    return kOk;
  }
  if (request.cardRequest == 1) {
    code = handlers.handleReadCard(socket, request);
    client.request.lastServedMs = net.NowMs();
  }
  // A client whose answer could not be sent in time, or was refused with
  // the connection's end, loses its connection, and with it every request
  // it has queued behind that one. So does one whose body did not come in
  // time (a card request is still answered first).
  if (code != kOk || request.expired) {
    RemoveClient(tables, index);
    removed = true;
  }
  return kOk;
}

ResultCode GuardedServe(Network& net, ServiceTables& tables, int index, bool fromWait,
                        const RequestHandlers& handlers, bool& removed) {
  try {
    return ServeClient(net, tables, index, fromWait, handlers, removed);
  } catch (const std::bad_alloc&) {
    // A request that cannot get the memory for its lines or its answer
    // loses its connection; what it held was released on the way out.
    RemoveClient(tables, index);
    removed = true;
    return kOk;
  }
}

// What one wait watches: the stop signal, the listeners unless accepting is
// closed, and the clients from `nextClient` on (so that each gets its turn:
// the wait reports the first ready entry). order maps a wait position to its
// table index; *wake becomes the earliest time a request or a pause runs out.
int FillWaitSet(const ServiceTables& tables, bool acceptOpen, int nextClient, NetEvent* waitSet,
                int* order, std::int64_t* wake) {
  waitSet[kStopIndex] = tables.stop;
  order[kStopIndex] = kStopIndex;
  waitSet[kListenerIndex] = acceptOpen ? tables.listenerEvent.get() : nullptr;
  order[kListenerIndex] = kListenerIndex;
  for (int k = 0; k < tables.count; ++k) {
    const int index = kFirstClientIndex + (nextClient + k) % tables.count;
    const ServiceClient& client = tables.Client(index);
    waitSet[kFirstClientIndex + k] = client.event.get();
    order[kFirstClientIndex + k] = index;
    const RequestState& request = client.request;
    if (request.InProgress() && (*wake < 0 || request.DeadlineMs() < *wake)) {
      *wake = request.DeadlineMs();
    }
  }
  return tables.count + kFirstClientIndex;
}

int TimeoutUntil(std::int64_t wake, std::int64_t now) {
  if (wake < 0) return -1;
  const std::int64_t left = wake - now;
  return left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
}

// Requests whose time ran out are ended (or served, when only their body was
// missing) without waiting for another byte.
ResultCode ServeExpired(Network& net, ServiceTables& tables, const RequestHandlers& handlers) {
  const std::int64_t now = net.NowMs();
  for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex;) {
    bool removed = false;
    const RequestState& request = tables.Client(index).request;
    if (request.InProgress() && now >= request.DeadlineMs()) {
      const ResultCode code = GuardedServe(net, tables, index, false, handlers, removed);
      if (code != kOk) return code;
    }
    if (!removed) ++index;
  }
  return kOk;
}

// The accepts of the listeners, which rest for a while after the system ran
// out of descriptors or buffers.
struct AcceptPause {
  std::int64_t until = -1;  // none
  int atCount = 0;          // the clients there were; one leaving ends the pause
};

// With every slot taken, each client with something to read has its turn
// before one is closed to make room: a peer that left frees its slot, and a
// request waiting to be read is served rather than lost with its connection.
ResultCode ServeReadyClients(Network& net, ServiceTables& tables, const RequestHandlers& handlers) {
  for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex;) {
    bool removed = false;
    if (net.WaitReadable(tables.Client(index).socket.get(), 0) == platform::WaitStatus::kReady) {
      const ResultCode code = GuardedServe(net, tables, index, false, handlers, removed);
      if (code != kOk) return code;
      if (!removed) net.ResetEvent(tables.Client(index).event.get());
    }
    if (!removed) ++index;
  }
  return kOk;
}

ResultCode OnListenerReady(Network& net, ServiceTables& tables, AcceptPause& pause,
                           const RequestHandlers& handlers) {
  if (tables.count >= kMaxClients) {
    if (const ResultCode code = ServeReadyClients(net, tables, handlers); code != kOk) {
      return code;
    }
  }
  int pauseMs = 0;
  const ResultCode code = AcceptClient(net, tables, &pauseMs);
  if (code == kOk && pauseMs > 0) {
    pause.until = net.NowMs() + pauseMs;
    pause.atCount = tables.count;
  }
  return code;
}

ResultCode EventLoop(Network& net, ServiceTables& tables, const RequestHandlers& handlers,
                     int pollMs) {
  StreamSchedule streams;
  streams.pollMs = pollMs;
  NetEvent waitSet[kEventTableSize];
  int order[kEventTableSize];  // wait position -> table index
  int nextClient = 0;          // where the next round of clients starts
  AcceptPause pause;
  for (;;) {
    ServeEventStreams(net, tables, handlers, streams);
    const std::int64_t now = net.NowMs();
    if (pause.until >= 0 && (now >= pause.until || tables.count < pause.atCount)) pause.until = -1;
    // With the table full and no client that may make room, a pending
    // connection would keep the listener ready and the wait would spin:
    // leave it out until a client has gone or has ended its request.
    const bool acceptOpen =
        pause.until < 0 && (tables.count < kMaxClients || ClientToMakeRoomFor(tables) >= 0);
    if (nextClient >= tables.count) nextClient = 0;
    std::int64_t wake = pause.until;
    const int entries = FillWaitSet(tables, acceptOpen, nextClient, waitSet, order, &wake);
    if (const std::int64_t due = EventStreamsWakeMs(net, tables, streams);
        due >= 0 && (wake < 0 || due < wake)) {
      wake = due;
    }

    const int position = net.WaitAnyFor(waitSet, entries, TimeoutUntil(wake, now));
    const bool timedOut = position == platform::kWaitTimedOut;
    if (!timedOut && (position < 0 || position >= entries)) return kWaitFailed;
    // The stop signal's report clears it: it is taken at once.
    if (!timedOut && order[position] == kStopIndex) return kOk;
    // Requests whose time ran out are ended even while other clients keep
    // the wait busy; what the wait reported is then asked again, since the
    // table may have changed under it.
    if (timedOut || (wake >= 0 && net.NowMs() >= wake)) {
      if (const ResultCode code = ServeExpired(net, tables, handlers); code != kOk) {
        return code;
      }
      continue;
    }
    const int index = order[position];
    if (index == kListenerIndex) {
      if (const ResultCode code = OnListenerReady(net, tables, pause, handlers); code != kOk) {
        return code;
      }
      continue;
    }
    bool removed = false;
    const ResultCode code = GuardedServe(net, tables, index, true, handlers, removed);
    if (code != kOk) return code;
    const int served = index - kFirstClientIndex;
    nextClient = removed ? served : served + 1;
  }
}

ResultCode ListenFailure(ListenStatus status) {
  switch (status) {
    case ListenStatus::kSocketFailed:
      return kSocketError;
    case ListenStatus::kListenFailed:
      return kListenFailed;
    default:
      return kBindFailed;
  }
}

// The sockets layer for the length of one run.
class NetSession {
 public:
  explicit NetSession(Network& net) : net_(net), started_(net.Startup()) {}
  ~NetSession() {
    if (started_) net_.Cleanup();
  }
  NetSession(const NetSession&) = delete;
  NetSession& operator=(const NetSession&) = delete;
  bool Started() const { return started_; }

 private:
  Network& net_;
  bool started_;
};

// Opens a listener for each address of the plan and ties them all to the
// listener's event.
ResultCode OpenListeners(Network& net, const ServiceConfig& config, ServiceTables& tables) {
  for (const ListenPlanEntry& entry : ListenPlan(config)) {
    Socket opened = kInvalidSocket;
    const ListenStatus status = net.OpenListener(entry.address, config.port, &opened);
    platform::OwnedSocket listener(net, opened);
    if (status == ListenStatus::kListening && tables.listenerCount < kMaxListeners) {
      tables.listeners[tables.listenerCount++] = std::move(listener);
      continue;
    }
    if (status == ListenStatus::kUnavailable && entry.optional) continue;
    return status == ListenStatus::kListening ? kBindFailed : ListenFailure(status);
  }
  tables.listenerEvent = net.CreateEvent();
  if (!tables.listenerEvent) return kOutOfMemory;
  for (int i = 0; i < tables.listenerCount; ++i) {
    if (!net.SelectEvents(tables.listeners[i].get(), tables.listenerEvent.get(),
                          platform::kNetAccept)) {
      return kEventSelectFailed;
    }
  }
  return kOk;
}

}  // namespace

ResultCode RunHttpService(Network& net, NetEvent stopEvent, const ServiceConfig& config,
                          const RequestHandlers& handlers) {
  // Undone in the reverse order: the tables (clients, then listeners, each
  // socket before its event), then the sockets layer.
  NetSession session(net);
  if (!session.Started()) return kOutOfMemory;
  ServiceTables tables;
  tables.stop = stopEvent;
  if (const ResultCode code = OpenListeners(net, config, tables); code != kOk) return code;
  if (handlers.listening) handlers.listening();
  return EventLoop(net, tables, handlers, config.pollMs);
}

}  // namespace talvex
