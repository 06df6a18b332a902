// Threads (std::thread over the system's threads) and the console's stop
// requests: Ctrl-C stands for SIGINT; Ctrl-Break, closing the console window,
// logging off and shutting down stand for SIGTERM.
#include <windows.h>

#include <atomic>
#include <exception>
#include <new>
#include <system_error>

#include "platform/thread.h"

namespace talvex::platform {

namespace {

// A manual-reset event raised by the console handler, and what it received.
HANDLE requestEvent = nullptr;
std::atomic<const char*> requestName{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  const char* name = type == CTRL_C_EVENT ? "SIGINT" : "SIGTERM";
  requestName.store(name, std::memory_order_release);
  SetEvent(requestEvent);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process as soon as this returns: give the server
    // time to stop first (the system allows about five seconds); the process
    // ends earlier when the main thread returns.
    Sleep(4500);
  }
  return TRUE;
}

}  // namespace

bool HoldTerminationRequests() {
  if (requestEvent == nullptr) requestEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (requestEvent == nullptr) return false;
  return SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

const char* WaitForTerminationRequest(int timeoutMs) {
  if (requestEvent == nullptr) {
    Sleep(timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs));
    return nullptr;
  }
  const DWORD r =
      WaitForSingleObject(requestEvent, timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs));
  if (r != WAIT_OBJECT_0) return nullptr;
  ResetEvent(requestEvent);
  return requestName.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace talvex::platform
