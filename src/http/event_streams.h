// The event loop's side of the event streams: opening one after its
// request, what its client sends afterwards (read and dropped), and the
// streams' turn: a probe of the card watch when one is due, the comment
// lines, the writes, and closing the streams that do not keep up.
#pragma once

#include <cstdint>

#include "http/loop.h"
#include "platform/net.h"

namespace talvex {

// When the streams' next turn is due.
struct StreamSchedule {
  int pollMs = kDefaultPollMs;
  bool watching = false;  // streams were open at the last turn
  std::int64_t nextProbeMs = 0;
};

bool IsEventStream(const ServiceTables& tables, int index);
int StreamCount(const ServiceTables& tables);

// The client at `index` sent an events request: it becomes a stream, or gets
// the refusal, or (beyond kMaxStreams streams) is closed at once. *removed
// tells whether the client left the table.
void OpenEventStream(platform::Network& net, ServiceTables& tables, int index,
                     const RequestHandlers& handlers, const Request& request, bool* removed);

// A stream's client sent bytes: they are read and dropped; a closed or failed
// connection leaves the table.
void DrainEventStream(platform::Network& net, ServiceTables& tables, int index, bool* removed);

// The streams' turn, called on every round of the loop: probes when one is
// due, tells the streams, writes and closes; tells the watch when the last
// stream has gone.
void ServeEventStreams(platform::Network& net, ServiceTables& tables,
                       const RequestHandlers& handlers, StreamSchedule& schedule);

// When the streams want their next turn (a NowMs() value), -1 for never.
std::int64_t EventStreamsWakeMs(platform::Network& net, const ServiceTables& tables,
                                const StreamSchedule& schedule);

}  // namespace talvex
