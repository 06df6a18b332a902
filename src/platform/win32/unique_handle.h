// The owner of one Win32 kernel handle (file, device, event, process):
// closed when the owner goes, unless it is handed on with release(). Both of
// Win32's "no handle" values, null and INVALID_HANDLE_VALUE, count as empty.
#pragma once

#include <windows.h>

#include <utility>

namespace talvex::platform::win32 {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return IsHandle(handle_); }
  // Hands the handle over; this owner is empty afterwards.
  [[nodiscard]] HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  // Closes what is held (if anything) and takes `handle`.
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
    const HANDLE old = std::exchange(handle_, handle);
    if (IsHandle(old)) CloseHandle(old);
  }

 private:
  static bool IsHandle(HANDLE handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace talvex::platform::win32
