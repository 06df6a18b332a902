// The service thread itself is portable: std::thread over the system's threads.
#include <exception>
#include <new>
#include <system_error>

#include "platform/thread.h"

namespace talvex::platform {

std::unique_ptr<Thread> Thread::Start(std::function<int()> body) {
  std::unique_ptr<Thread> t(new (std::nothrow) Thread());
  if (!t) return nullptr;
  Thread* self = t.get();
  try {
    self->thread_ = std::thread([self, body = std::move(body)]() {
      const int code = body();
      self->exitCode_.store(code, std::memory_order_release);
      self->finished_.store(true, std::memory_order_release);
    });
  } catch (const std::system_error&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return t;
}

Thread::~Thread() {
  if (thread_.joinable()) thread_.join();
}

int Thread::Join() {
  if (thread_.joinable()) thread_.join();
  return exitCode_.load(std::memory_order_acquire);
}

}  // namespace talvex::platform
