// A joinable thread with an integer exit code, and the process-level signals
// that ask a headless server to stop.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace talvex::platform {

class Thread {
 public:
  // Starts `body` at once; null when the thread could not be created.
  static std::unique_ptr<Thread> Start(std::function<int()> body);

  // Joins a thread that was never waited for.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Waits without a time limit for the thread to end and returns its exit code.
  int Join();
  // Whether the body has returned (the thread may still be unwinding).
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // The exit code once Finished(), else -1.
  int ExitCode() const { return Finished() ? exitCode_.load(std::memory_order_acquire) : -1; }

 private:
  Thread() = default;

  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::atomic<int> exitCode_{-1};
};

// Keeps SIGINT and SIGTERM (Ctrl-C and the console close event on Windows)
// from interrupting any thread started after this call, so that
// WaitForTerminationRequest() receives them. Call early, on the main thread.
bool HoldTerminationRequests();
// Blocks until SIGINT or SIGTERM arrives and returns its name ("SIGINT",
// "SIGTERM"), or null when timeoutMs passed first.
const char* WaitForTerminationRequest(int timeoutMs);

}  // namespace talvex::platform
