// The service thread's event loop: one wait over the stop signal (index 0),
// the listeners (1, one event for all of them) and up to 62 clients (2..63).
// The stop signal wins; otherwise the clients are served in turn, one
// request per turn, and a client's request never holds the thread waiting
// for its bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/result.h"
#include "flow/card_watch.h"
#include "http/events.h"
#include "http/request.h"
#include "http/service.h"
#include "platform/net.h"

namespace talvex {

inline constexpr int kEventTableSize = 64;
inline constexpr int kStopIndex = 0;
inline constexpr int kListenerIndex = 1;
inline constexpr int kFirstClientIndex = 2;
// Loopback IPv4 and IPv6 by default; a site may name a few more.
inline constexpr int kMaxListeners = 8;

// One client: its connection and event, what has come of its current
// request, and its event stream if it is one. The record owns the socket and
// the event (the socket is closed first when the record goes).
struct ServiceClient {
  platform::OwnedNetEvent event;
  platform::OwnedSocket socket;
  RequestState request;
  StreamState stream;  // whether it is an event stream, and what it has still to send
};

// The listeners and the clients. A client's table index (its place in a wait)
// runs from kFirstClientIndex to count + 1 with no gaps; Client(index) is its
// record. The stop signal's event belongs to whoever started the thread; the
// rest is owned here (the clients go before the listeners).
struct ServiceTables {
  platform::NetEvent stop = nullptr;
  platform::OwnedNetEvent listenerEvent;  // one for all the listeners
  platform::OwnedSocket listeners[kMaxListeners];
  int listenerCount = 0;
  int nextListener = 0;  // the listener the next accept tries first
  ServiceClient clients[kMaxClients];
  int count = 0;

  ServiceClient& Client(int index) { return clients[index - kFirstClientIndex]; }
  const ServiceClient& Client(int index) const { return clients[index - kFirstClientIndex]; }
};

// What the loop calls for a client that sent data.
struct RequestHandlers {
  // ReadRequest: 0, 304, 305 or 307, and the request when it is whole.
  std::function<ResultCode(platform::Socket socket, RequestState& state, Request& request)>
      readRequest;
  // A card request, read and answered: 0, 304 or 305, or the code of an
  // answer after which the connection is closed (291). Any code but 0 closes
  // the connection.
  std::function<ResultCode(platform::Socket socket, const Request& request)> handleReadCard;
  // An events request. kOk with the stream's header block in *head to open
  // the stream; or, with *head left empty, the result of the refusal it sent
  // (0, 304, 305, or 291 after which the connection is closed). Empty: an
  // events request gets no answer.
  std::function<ResultCode(platform::Socket socket, const Request& request, std::string* head)>
      openEvents;
  // One probe of the card watch while streams are open (CardWatch::Probe).
  std::function<WatchStep(bool newcomers)> probeCard;
  // The failure the streams were last told of (0 for none), for a new one.
  std::function<ResultCode()> cardFailure;
  // The last stream has closed (CardWatch::Quiet).
  std::function<void()> quietCard;
  // Told once the listeners are set up, before the first wait (may be empty).
  std::function<void()> listening;
};

// Whether the client at `index` may be closed to make room for a new one:
// it has no request in progress (it is idle, or its last request was left
// unanswered). The one question asked of a client before it is closed so.
bool MayBeClosedToMakeRoom(const ServiceTables& tables, int index);
// The client that makes room when every slot is taken: of those that may be
// closed, the one longest without being served (since its accept or its last
// answer; a request left unanswered is no service); -1 for none. The loop
// gives every client with bytes waiting its turn before it asks.
int ClientToMakeRoomFor(const ServiceTables& tables);

// What an accept came to: kOk, or a code that ends the service thread (277,
// 310, 311). With every slot taken, the client ClientToMakeRoomFor names is
// closed for the new connection (nothing is accepted when there is none).
// A connection that failed on its way in, or a lack of
// descriptors or buffers, is no reason to end: *pause tells for how long the
// listeners should rest (0 for not at all).
ResultCode AcceptClient(platform::Network& net, ServiceTables& tables, int* pauseMs = nullptr);
// Closes the client at `index`; the last client moves into its place.
void RemoveClient(ServiceTables& tables, int index);

// The addresses a service listens on: config.listen, or 127.0.0.1 and (where
// IPv6 exists) ::1 when it names none. `optional` marks the ones skipped
// without an error when the system lacks them.
struct ListenPlanEntry {
  platform::IpAddress address;
  bool optional = false;
};
std::vector<ListenPlanEntry> ListenPlan(const ServiceConfig& config);

// The whole thread: set-up, the loop until the stop signal or a failure, and
// shutdown (every socket and event but the stop signal closed, whichever way
// the run ends). Returns 0
// after a stop, else the failure code (277, 304, 308 .. 313).
ResultCode RunHttpService(platform::Network& net, platform::NetEvent stopEvent,
                          const ServiceConfig& config, const RequestHandlers& handlers);

}  // namespace talvex
