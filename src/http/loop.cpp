#include "http/loop.h"

#include <new>

#include "http/service.h"

namespace talvex {

using platform::kInvalidSocket;
using platform::NetEvent;
using platform::NetEventState;
using platform::Network;
using platform::Socket;

ServiceTables::ServiceTables() {
  for (int i = 0; i < kEventTableSize; ++i) {
    sockets[i] = kInvalidSocket;
    events[i] = nullptr;
  }
}

ResultCode AcceptClient(Network& net, ServiceTables& tables) {
  const Socket client = net.Accept(tables.sockets[kListenerIndex]);
  net.ResetEvent(tables.events[kListenerIndex]);
  if (client == kInvalidSocket) return kAcceptFailed;
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
  }
  tables.sockets[last] = kInvalidSocket;
  tables.events[last] = nullptr;
  tables.count -= 1;
}

namespace {

// One client turn. kOk to go on, else the code that ends the loop.
ResultCode ServeClient(Network& net, ServiceTables& tables, int index,
                       const RequestHandlers& handlers, std::int32_t& selector) {
  const Socket socket = tables.sockets[index];
  NetEventState state;
  if (!net.EnumEvents(socket, tables.events[index], &state)) return kEnumEventsFailed;
  if (state.closed) {
    // Peer-closed wins over data still waiting: it is discarded unread.
    RemoveClient(net, tables, index);
    return kOk;
  }
  if (!state.readable) return kEnumEventsFailed;

  int cardRequest = 0;
  ResultCode code = handlers.readRequest(socket, cardRequest);
  net.ResetEvent(tables.events[index]);
  if (code != kOk) {
    if (code == kSocketError || code == kPeerClosed) RemoveClient(net, tables, index);
    return kOk;
  }
  if (cardRequest == 0) return kOk;

  code = handlers.handleReadCard(socket, selector);
  if (code == kSocketError || code == kPeerClosed) RemoveClient(net, tables, index);
  return kOk;
}

ResultCode EventLoop(Network& net, ServiceTables& tables, const RequestHandlers& handlers) {
  std::int32_t selector = 0;
  NetEvent waitSet[kEventTableSize];
  for (;;) {
    const int entries = tables.count + kFirstClientIndex;
    for (int i = 0; i < entries; ++i) waitSet[i] = tables.events[i];
    // With the table full, a pending connection would keep the listener
    // ready and the wait would spin: leave it out until a client has gone.
    if (tables.count >= kMaxClients) waitSet[kListenerIndex] = nullptr;

    const int index = net.WaitAny(waitSet, entries);
    if (index == kStopIndex) return kOk;
    if (index == kListenerIndex) {
      if (tables.count >= kMaxClients) {
        net.ResetEvent(tables.events[kListenerIndex]);
        continue;
      }
      const ResultCode code = AcceptClient(net, tables);
      if (code != kOk) return code;
      continue;
    }
    if (index < kFirstClientIndex || index >= entries) return kWaitFailed;
    ResultCode code = kOk;
    try {
      code = ServeClient(net, tables, index, handlers, selector);
    } catch (const std::bad_alloc&) {
      // A request that cannot get the memory for its lines or its answer
      // loses its connection; what it held was released on the way out.
      RemoveClient(net, tables, index);
    }
    if (code != kOk) return code;
  }
}

}  // namespace

ResultCode RunHttpService(Network& net, NetEvent stopEvent, std::uint16_t port,
                          const RequestHandlers& handlers) {
  if (!net.Startup()) return kOutOfMemory;
  ServiceTables tables;
  const Socket listener = net.OpenStreamSocket();
  if (listener == kInvalidSocket) {
    net.Cleanup();
    return kSocketError;
  }
  tables.sockets[kListenerIndex] = listener;
  if (!net.Bind(listener, port)) {
    net.CloseSocket(listener);
    net.Cleanup();
    return kBindFailed;
  }
  if (!net.Listen(listener)) {
    net.CloseSocket(listener);
    net.Cleanup();
    return kListenFailed;
  }
  tables.events[kStopIndex] = stopEvent;
  NetEvent listenerEvent = net.CreateEvent();
  if (listenerEvent == nullptr) {
    net.CloseSocket(listener);
    net.Cleanup();
    return kOutOfMemory;
  }
  tables.events[kListenerIndex] = listenerEvent;
  if (!net.SelectEvents(listener, listenerEvent, platform::kNetAccept)) {
    net.CloseEvent(listenerEvent);
    net.CloseSocket(listener);
    net.Cleanup();
    return kEventSelectFailed;
  }

  if (handlers.listening) handlers.listening();
  const ResultCode result = EventLoop(net, tables, handlers);

  // The stop signal at index 0 belongs to whoever started the thread.
  for (int i = kListenerIndex; i <= tables.count + 1; ++i) {
    if (tables.events[i] != nullptr) net.CloseEvent(tables.events[i]);
    if (tables.sockets[i] != kInvalidSocket) net.CloseSocket(tables.sockets[i]);
  }
  net.Cleanup();
  return result;
}

}  // namespace talvex
