#include "http/event_streams.h"

#include <new>
#include <string>

namespace talvex {

using platform::IoStatus;
using platform::Network;
using platform::Socket;

namespace {

constexpr std::size_t kDrainPiece = 4096;

// Closes the streams whose queue cannot go out; the rest stay in place.
void FlushAll(Network& net, ServiceTables& tables, std::int64_t nowMs) {
  for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex;) {
    ServiceClient& client = tables.Client(index);
    StreamState& stream = client.stream;
    if (stream.open) {
      if (nowMs - stream.lastQueuedMs >= kStreamCommentMs) {
        QueueStreamText(stream, kCommentText, nowMs);
      }
      if (!FlushStream(net, client.socket.get(), stream, nowMs)) {
        RemoveClient(tables, index);
        continue;
      }
    }
    ++index;
  }
}

// Queues the probe's news for the streams it is for.
void Tell(ServiceTables& tables, const WatchStep& step, std::int64_t nowMs) {
  std::string text;
  switch (step.send) {
    case WatchStep::Send::kNothing:
      break;
    case WatchStep::Send::kCardToAll:
    case WatchStep::Send::kCardToNewcomers:
      text = CardEventText(step.body);
      break;
    case WatchStep::Send::kFailure:
      text = FailureEventText(step.code);
      break;
  }
  for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex; ++index) {
    StreamState& stream = tables.Client(index).stream;
    if (!stream.open) continue;
    const bool toThis =
        !text.empty() && (step.send != WatchStep::Send::kCardToNewcomers || stream.newcomer);
    if (toThis) QueueStreamText(stream, text, nowMs);
    stream.newcomer = false;
  }
}

}  // namespace

bool IsEventStream(const ServiceTables& tables, int index) {
  return index >= kFirstClientIndex && index < tables.count + kFirstClientIndex &&
         tables.Client(index).stream.open;
}

int StreamCount(const ServiceTables& tables) {
  int n = 0;
  for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex; ++index) {
    if (tables.Client(index).stream.open) ++n;
  }
  return n;
}

void OpenEventStream(Network& net, ServiceTables& tables, int index,
                     const RequestHandlers& handlers, const Request& request, bool* removed) {
  *removed = false;
  if (!handlers.openEvents) return;  // as any other path: no answer
  const Socket socket = tables.Client(index).socket.get();
  std::string head;
  const ResultCode code = handlers.openEvents(socket, request, &head);
  if (head.empty()) {
    // Refused and answered; the connection stays unless the answer failed
    // or the refusal ends it.
    if (code != kOk) {
      RemoveClient(tables, index);
      *removed = true;
    }
    return;
  }
  if (StreamCount(tables) >= kMaxStreams) {
    RemoveClient(tables, index);
    *removed = true;
    return;
  }
  net.LimitSendBuffer(socket, kStreamSendBuffer);
  const std::int64_t now = net.NowMs();
  StreamState& stream = tables.Client(index).stream;
  stream.Reset();
  stream.open = true;
  stream.newcomer = true;
  QueueStreamText(stream, head, now);
  if (handlers.cardFailure) {
    if (const ResultCode failure = handlers.cardFailure(); failure != kOk) {
      QueueStreamText(stream, FailureEventText(failure), now);
    }
  }
  if (!FlushStream(net, socket, stream, now)) {
    RemoveClient(tables, index);
    *removed = true;
  }
}

void DrainEventStream(Network& net, ServiceTables& tables, int index, bool* removed) {
  *removed = false;
  const Socket socket = tables.Client(index).socket.get();
  std::uint8_t piece[kDrainPiece];
  // At most a turn's worth, so that a chatty client cannot hold the loop.
  for (std::size_t total = 0; total < kTurnBytes;) {
    std::size_t count = 0;
    const IoStatus status = net.Receive(socket, piece, sizeof piece, &count);
    if (status == IoStatus::kWouldBlock) break;
    if (status != IoStatus::kDone || count == 0) {
      RemoveClient(tables, index);
      *removed = true;
      return;
    }
    total += count;
  }
  net.ResetEvent(tables.Client(index).event.get());
}

void ServeEventStreams(Network& net, ServiceTables& tables, const RequestHandlers& handlers,
                       StreamSchedule& schedule) {
  if (StreamCount(tables) == 0) {
    if (schedule.watching) {
      schedule.watching = false;
      if (handlers.quietCard) handlers.quietCard();
    }
    return;
  }
  std::int64_t now = net.NowMs();
  if (!schedule.watching) {
    schedule.watching = true;
    schedule.nextProbeMs = now;
  }
  try {
    if (now >= schedule.nextProbeMs && handlers.probeCard) {
      bool newcomers = false;
      for (int index = kFirstClientIndex; index < tables.count + kFirstClientIndex; ++index) {
        const StreamState& stream = tables.Client(index).stream;
        newcomers = newcomers || (stream.open && stream.newcomer);
      }
      const WatchStep step = handlers.probeCard(newcomers);
      now = net.NowMs();
      schedule.nextProbeMs = now + schedule.pollMs;
      Tell(tables, step, now);
    }
    FlushAll(net, tables, now);
  } catch (const std::bad_alloc&) {
    // The news that did not get its memory is lost; the next turn goes on.
    schedule.nextProbeMs = now + schedule.pollMs;
  }
}

std::int64_t EventStreamsWakeMs(Network& net, const ServiceTables& tables,
                                const StreamSchedule& schedule) {
  if (StreamCount(tables) == 0) return schedule.watching ? net.NowMs() : -1;
  return schedule.watching ? schedule.nextProbeMs : net.NowMs();
}

}  // namespace talvex
