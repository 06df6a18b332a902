#include "http/service.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "flow/card_watch.h"
#include "flow/reader_hold.h"
#include "flow/whole_read.h"
#include "http/events.h"
#include "http/handler.h"
#include "http/host_rule.h"
#include "http/loop.h"
#include "http/request.h"
#include "http/request_log.h"
#include "http/response.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace talvex {

namespace {

// Whether the current service thread got as far as listening, or ended. Only
// the start-up report of the headless server waits on it; the service itself
// shares nothing else between the threads.
struct StartReport {
  std::mutex mutex;
  std::condition_variable changed;
  bool listening = false;
  bool ended = false;
};

// Written only by StartHttpService and StopHttpService, on the caller's
// thread; the service thread gets the stop event once, at its start.
std::unique_ptr<platform::StopSignal> g_stopSignal;
std::unique_ptr<platform::Thread> g_serviceThread;
std::shared_ptr<StartReport> g_startReport;
ServiceConfig g_config;

// The last cardholder's photo and bitmap do not outlive the service.
void RemovePhotoFiles() {
  std::u16string directory;
  if (!platform::GetTempDirectory(&directory)) return;
  for (const char16_t* name : {u"image.wlt", u"image.bmp"}) {
    platform::RemoveFile((directory + name).c_str());
  }
}

// What the log says of a request that reached the service.
RequestLogEntry EntryFor(platform::Network& net, platform::Socket socket, const Request& request) {
  RequestLogEntry entry;
  entry.client = ClientText(net, socket);
  entry.path = request.path;
  return entry;
}

ResultCode HttpServiceThread(platform::NetEvent stopEvent, const ServiceConfig& config,
                             const std::shared_ptr<StartReport>& report) {
  platform::Network& net = platform::SystemNetwork();
  // The reader as this thread keeps it: the selector starts at 0 with every
  // start of the thread, so that a stop and start detects the reader again.
  ReaderHold reader;
  CardWatch watch(reader, SystemCardPipeline());
  RequestHandlers handlers;
  handlers.readRequest = [&net](platform::Socket socket, RequestState& state, Request& request) {
    return ReadRequest(net, socket, state, request);
  };
  handlers.handleReadCard = [&net, stopEvent, &config, &reader](platform::Socket socket,
                                                                const Request& request) {
    RequestLogEntry entry = EntryFor(net, socket, request);
    ResponseOptions options;
    // A stop ends the writer's waits; an answer has its own 15 seconds.
    options.limits.stop = stopEvent;
    options.limits.deadlineMs = net.NowMs() + kResponseTimeMs;
    const OriginAnswer origin =
        AnswerOrigin(config.allowOrigins, request.hasOrigin, request.origin, request.crossSite);
    options.originLines = origin.lines;
    if (!HostAllowed(config, request.hostLines, request.host)) {
      // Answered once, and the connection goes: what comes after a wrong
      // Host is not served either.
      entry.answer.code = kHostRefused;
      entry.sent = SendErrorResponse(net, socket, kHostRefused, options);
      LogRequest(entry);
      return entry.sent == kOk ? kHostRefused : entry.sent;
    }
    if (origin.refused) {
      entry.answer.code = kOriginRefused;
      entry.sent = SendErrorResponse(net, socket, kOriginRefused, options);
      LogRequest(entry);
      return entry.sent;
    }
    const CardReadResult read = ReadWholeCard(reader, SystemCardPipeline());
    entry.answer = TraceOf(read);
    entry.sent = HandleReadCard(net, socket, read, options);
    LogRequest(entry);
    return entry.sent;
  };
  handlers.openEvents = [&net, stopEvent, &config](platform::Socket socket, const Request& request,
                                                   std::string* head) {
    RequestLogEntry entry = EntryFor(net, socket, request);
    const OriginAnswer origin =
        AnswerOrigin(config.allowOrigins, request.hasOrigin, request.origin, request.crossSite);
    const bool hostAllowed = HostAllowed(config, request.hostLines, request.host);
    if (!hostAllowed || origin.refused) {
      // The plain answer of the refusal instead of a stream; a wrong Host
      // also ends the connection, as for /readCard.
      ResponseOptions options;
      options.originLines = origin.lines;
      options.limits.stop = stopEvent;
      options.limits.deadlineMs = net.NowMs() + kResponseTimeMs;
      entry.answer.code = hostAllowed ? kOriginRefused : kHostRefused;
      entry.sent = SendErrorResponse(net, socket, entry.answer.code, options);
      LogRequest(entry);
      return !hostAllowed && entry.sent == kOk ? kHostRefused : entry.sent;
    }
    *head = StreamHeaderBlock(origin.lines);
    LogRequest(entry);
    return kOk;
  };
  handlers.probeCard = [&net, &watch](bool newcomers) {
    return watch.Probe(net.NowMs(), newcomers);
  };
  handlers.cardFailure = [&watch]() { return watch.Failure(); };
  handlers.quietCard = [&watch]() { watch.Quiet(); };
  handlers.listening = [&report]() {
    std::lock_guard<std::mutex> lock(report->mutex);
    report->listening = true;
    report->changed.notify_all();
  };
  const ResultCode result = RunHttpService(net, stopEvent, config, handlers);
  RemovePhotoFiles();
  {
    std::lock_guard<std::mutex> lock(report->mutex);
    report->ended = true;
    report->changed.notify_all();
  }
  return result;
}

}  // namespace

void ConfigureHttpService(const ServiceConfig& config) {
  g_config = config;
}

const ServiceConfig& HttpServiceConfig() {
  return g_config;
}

int StartHttpService() noexcept {
  // A second start would take the stop signal from the running thread.
  if (g_serviceThread) return 0;
  try {
    g_stopSignal = platform::CreateStopSignal();
    if (!g_stopSignal) return 0;
    g_startReport = std::make_shared<StartReport>();
    platform::NetEvent stopEvent = g_stopSignal->Event();
    std::shared_ptr<StartReport> report = g_startReport;
    g_serviceThread = platform::Thread::Start([stopEvent, config = g_config, report]() {
      return ToNumber(HttpServiceThread(stopEvent, config, report));
    });
  } catch (const std::bad_alloc&) {
    // The copy of the configuration, the report or the thread's body did not
    // get its memory: no thread was made.
  }
  if (!g_serviceThread) {
    g_stopSignal.reset();
    g_startReport.reset();
    return 0;
  }
  return 1;
}

void StopHttpService() {
  if (!g_serviceThread) return;
  g_stopSignal->Set();
  g_serviceThread->Join();
  g_serviceThread.reset();
  g_stopSignal.reset();
  g_startReport.reset();
}

bool HttpServiceThreadExists() {
  return g_serviceThread != nullptr;
}

std::optional<ResultCode> HttpServiceExitCode() {
  if (!g_serviceThread || !g_startReport) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(g_startReport->mutex);
    if (!g_startReport->ended) return std::nullopt;
  }
  // The thread has left its loop; joining only waits for it to unwind.
  return ResultCode{g_serviceThread->Join()};
}

bool WaitUntilHttpServiceListens() {
  if (!g_startReport) return false;
  StartReport& report = *g_startReport;
  std::unique_lock<std::mutex> lock(report.mutex);
  report.changed.wait(lock, [&report]() { return report.listening || report.ended; });
  return report.listening;
}

}  // namespace talvex
