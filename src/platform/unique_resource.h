// The owner of one system resource named by a plain value (a descriptor, a
// handle, a socket): closed when the owner goes, unless it is handed on with
// release(). The traits name the empty value, tell a held one from it and
// close it; each backend has its own (posix/unique_fd.h,
// win32/unique_handle.h).
#pragma once

#include <utility>

namespace talvex::platform {

template <class Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() = default;
  explicit UniqueResource(Value value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Value get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return Traits::Held(value_); }
  // Hands the resource over; this owner is empty afterwards.
  [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::Empty()); }
  // Closes what is held (if anything) and takes `value`.
  void reset(Value value = Traits::Empty()) noexcept {
    const Value old = std::exchange(value_, value);
    if (Traits::Held(old)) Traits::Close(old);
  }

 private:
  Value value_ = Traits::Empty();
};

}  // namespace talvex::platform
