#include "http/service.h"

#include <memory>

#include "card/read_card.h"
#include "http/handler.h"
#include "http/loop.h"
#include "http/request.h"
#include "photo/photo.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace talvex {

namespace {

// Written only by StartHttpService and StopHttpService, on the caller's
// thread; the service thread gets the stop event once, at its start.
std::unique_ptr<platform::StopSignal> g_stopSignal;
std::unique_ptr<platform::Thread> g_serviceThread;

ResultCode HttpServiceThread(platform::NetEvent stopEvent) {
  platform::Network& net = platform::SystemNetwork();
  RequestHandlers handlers;
  handlers.readRequest = [&net](platform::Socket socket, int& cardRequest) {
    return ReadRequest(net, socket, cardRequest);
  };
  handlers.handleReadCard = [&net](platform::Socket socket, std::int32_t& selector) {
    return HandleReadCard(net, socket, selector, SystemCardPipeline());
  };
  return RunHttpService(net, stopEvent, kServicePort, handlers);
}

}  // namespace

const CardPipeline& SystemCardPipeline() {
  static const CardPipeline pipeline{
      [](std::int32_t& selector, const char16_t* photoPath, std::unique_ptr<char[]>& text,
         std::int32_t& length) { return ReadCard(selector, photoPath, text, length); },
      [](const char16_t* bmpPath, std::string& photoText) {
        return EncodePhoto(bmpPath, photoText);
      },
      [](std::u16string* directory) { return platform::GetTempDirectory(directory); },
  };
  return pipeline;
}

int StartHttpService() {
  g_stopSignal = platform::CreateStopSignal();
  if (!g_stopSignal) return 0;
  platform::NetEvent stopEvent = g_stopSignal->Event();
  g_serviceThread = platform::Thread::Start([stopEvent]() { return HttpServiceThread(stopEvent); });
  if (!g_serviceThread) {
    g_stopSignal.reset();
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
}

bool HttpServiceThreadExists() {
  return g_serviceThread != nullptr;
}

ResultCode HttpServiceExitCode() {
  return g_serviceThread ? g_serviceThread->ExitCode() : -1;
}

}  // namespace talvex
