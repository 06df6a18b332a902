#include "http/loop.h"

#include <climits>
#include <new>

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

ServiceTables::ServiceTables() {
  for (int i = 0; i < kEventTableSize; ++i) {
    sockets[i] = kInvalidSocket;
    events[i] = nullptr;
  }
  for (Socket& s : listeners) s = kInvalidSocket;
}

ResultCode AcceptClient(Network& net, ServiceTables& tables, int* pauseMs) {
  if (pauseMs != nullptr) *pauseMs = 0;
  Socket client = kInvalidSocket;
  ResultCode result = kOk;
  // Every listener shares the one event: each is tried in turn, starting
  // after the one that gave the last connection.
  const int n = tables.listenerCount > 0 ? tables.listenerCount : 1;
  for (int k = 0; k < n && client == kInvalidSocket && result == kOk; ++k) {
    const int li = (tables.nextListener + k) % n;
    const Socket listener =
        tables.listenerCount > 0 ? tables.listeners[li] : tables.sockets[kListenerIndex];
    switch (net.TryAccept(listener, &client)) {
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
  net.ResetEvent(tables.events[kListenerIndex]);
  if (result != kOk || client == kInvalidSocket) return result;
  NetEvent event = net.CreateEvent();
  if (event == nullptr) {
    net.CloseSocket(client);
    return kOutOfMemory;
  }
  if (!net.SelectEvents(client, event, platform::kNetRead | platform::kNetClose)) {
    net.CloseEvent(event);
    net.CloseSocket(client);
    return kEventSelectFailed;
  }
  const int index = tables.count + kFirstClientIndex;
  tables.sockets[index] = client;
  tables.events[index] = event;
  tables.requests[index].Reset();
  tables.count += 1;
  return kOk;
}

void RemoveClient(Network& net, ServiceTables& tables, int index) {
  if (tables.count < 1 || index < kFirstClientIndex) return;
  const int last = tables.count + 1;
  if (index > last) return;
  net.CloseSocket(tables.sockets[index]);
  net.CloseEvent(tables.events[index]);
  if (index < last) {
    tables.sockets[index] = tables.sockets[last];
    tables.events[index] = tables.events[last];
    tables.requests[index] = std::move(tables.requests[last]);
  }
  tables.sockets[last] = kInvalidSocket;
  tables.events[last] = nullptr;
  tables.requests[last].Reset();
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
                       const RequestHandlers& handlers, std::int32_t& selector, bool& removed) {
  const Socket socket = tables.sockets[index];
  removed = false;
  if (fromWait) {
    NetEventState state;
    if (!net.EnumEvents(socket, tables.events[index], &state)) return kEnumEventsFailed;
    if (state.closed) {
      // Peer-closed wins over data still waiting: it is discarded unread.
      RemoveClient(net, tables, index);
      removed = true;
      return kOk;
    }
    if (!state.readable) return kEnumEventsFailed;
  }

  Request request;
  ResultCode code = handlers.readRequest(socket, tables.requests[index], request);
  if (fromWait) net.ResetEvent(tables.events[index]);
  if (code != kOk) {
    if (code == kSocketError || code == kPeerClosed) {
      RemoveClient(net, tables, index);
      removed = true;
    }
    return kOk;
  }
  if (request.cardRequest != 1) return kOk;

  code = handlers.handleReadCard(socket, selector, request);
  // A client whose answer could not be sent in time loses its connection,
  // and with it every request it has queued behind that one.
  if (code == kSocketError || code == kPeerClosed || code == kNetTimeout) {
    RemoveClient(net, tables, index);
    removed = true;
  }
  return kOk;
}

ResultCode GuardedServe(Network& net, ServiceTables& tables, int index, bool fromWait,
                        const RequestHandlers& handlers, std::int32_t& selector, bool& removed) {
  try {
    return ServeClient(net, tables, index, fromWait, handlers, selector, removed);
  } catch (const std::bad_alloc&) {
    // A request that cannot get the memory for its lines or its answer
    // loses its connection; what it held was released on the way out.
    RemoveClient(net, tables, index);
    removed = true;
    return kOk;
  }
}

ResultCode EventLoop(Network& net, ServiceTables& tables, const RequestHandlers& handlers) {
  std::int32_t selector = 0;
  NetEvent waitSet[kEventTableSize];
  int order[kEventTableSize];  // wait position -> table index
  int nextClient = 0;          // where the next round of clients starts
  std::int64_t acceptPausedUntil = -1;
  int pausedAtCount = 0;
  for (;;) {
    std::int64_t now = net.NowMs();
    if (acceptPausedUntil >= 0 && (now >= acceptPausedUntil || tables.count < pausedAtCount)) {
      acceptPausedUntil = -1;
    }
    const int entries = tables.count + kFirstClientIndex;
    waitSet[kStopIndex] = tables.events[kStopIndex];
    order[kStopIndex] = kStopIndex;
    // With the table full, a pending connection would keep the listener
    // ready and the wait would spin: leave it out until a client has gone.
    const bool acceptOpen = tables.count < kMaxClients && acceptPausedUntil < 0;
    waitSet[kListenerIndex] = acceptOpen ? tables.events[kListenerIndex] : nullptr;
    order[kListenerIndex] = kListenerIndex;
    std::int64_t wake = acceptPausedUntil;
    // The wait reports the first ready entry: the clients are put in it from
    // the one after the last served, so each gets its turn.
    if (nextClient >= tables.count) nextClient = 0;
    for (int k = 0; k < tables.count; ++k) {
      const int index = kFirstClientIndex + (nextClient + k) % tables.count;
      waitSet[kFirstClientIndex + k] = tables.events[index];
      order[kFirstClientIndex + k] = index;
      const RequestState& request = tables.requests[index];
      if (request.InProgress() && (wake < 0 || request.DeadlineMs() < wake)) {
        wake = request.DeadlineMs();
      }
    }
    int timeoutMs = -1;
    if (wake >= 0) {
      const std::int64_t left = wake - now;
      timeoutMs = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
    }

    const int position = net.WaitAnyFor(waitSet, entries, timeoutMs);
    if (position == platform::kWaitTimedOut) {
      // Requests whose time ran out are ended (or served, when only their
      // body was missing) without waiting for another byte.
      now = net.NowMs();
      for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex;) {
        bool removed = false;
        const RequestState& request = tables.requests[index];
        if (request.InProgress() && now >= request.DeadlineMs()) {
          const ResultCode code =
              GuardedServe(net, tables, index, false, handlers, selector, removed);
          if (code != kOk) return code;
        }
        if (!removed) ++index;
      }
      continue;
    }
    if (position < 0 || position >= entries) return kWaitFailed;
    const int index = order[position];
    if (index == kStopIndex) return kOk;
    if (index == kListenerIndex) {
      if (tables.count >= kMaxClients) {
        net.ResetEvent(tables.events[kListenerIndex]);
        continue;
      }
      int pauseMs = 0;
      const ResultCode code = AcceptClient(net, tables, &pauseMs);
      if (code != kOk) return code;
      if (pauseMs > 0) {
        acceptPausedUntil = net.NowMs() + pauseMs;
        pausedAtCount = tables.count;
      }
      continue;
    }
    bool removed = false;
    const ResultCode code = GuardedServe(net, tables, index, true, handlers, selector, removed);
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

void CloseListeners(Network& net, ServiceTables& tables) {
  for (int i = 0; i < tables.listenerCount; ++i) net.CloseSocket(tables.listeners[i]);
  tables.listenerCount = 0;
  tables.sockets[kListenerIndex] = kInvalidSocket;
}

}  // namespace

ResultCode RunHttpService(Network& net, NetEvent stopEvent, const ServiceConfig& config,
                          const RequestHandlers& handlers) {
  if (!net.Startup()) return kOutOfMemory;
  ServiceTables tables;
  for (const ListenPlanEntry& entry : ListenPlan(config)) {
    Socket listener = kInvalidSocket;
    const ListenStatus status = net.OpenListener(entry.address, config.port, &listener);
    if (status == ListenStatus::kListening && tables.listenerCount < kMaxListeners) {
      tables.listeners[tables.listenerCount++] = listener;
      continue;
    }
    if (status == ListenStatus::kListening) net.CloseSocket(listener);
    if (status == ListenStatus::kUnavailable && entry.optional) continue;
    CloseListeners(net, tables);
    net.Cleanup();
    return status == ListenStatus::kListening ? kBindFailed : ListenFailure(status);
  }
  tables.sockets[kListenerIndex] = tables.listeners[0];
  tables.events[kStopIndex] = stopEvent;
  NetEvent listenerEvent = net.CreateEvent();
  if (listenerEvent == nullptr) {
    CloseListeners(net, tables);
    net.Cleanup();
    return kOutOfMemory;
  }
  tables.events[kListenerIndex] = listenerEvent;
  for (int i = 0; i < tables.listenerCount; ++i) {
    if (!net.SelectEvents(tables.listeners[i], listenerEvent, platform::kNetAccept)) {
      net.CloseEvent(listenerEvent);
      CloseListeners(net, tables);
      net.Cleanup();
      return kEventSelectFailed;
    }
  }

  if (handlers.listening) handlers.listening();
  const ResultCode result = EventLoop(net, tables, handlers);

  // The stop signal at index 0 belongs to whoever started the thread.
  for (int i = kListenerIndex; i <= tables.count + 1; ++i) {
    if (tables.events[i] != nullptr) net.CloseEvent(tables.events[i]);
    if (i >= kFirstClientIndex && tables.sockets[i] != kInvalidSocket) {
      net.CloseSocket(tables.sockets[i]);
    }
  }
  CloseListeners(net, tables);
  net.Cleanup();
  return result;
}

}  // namespace talvex
