// The owner of one file descriptor: closed when the owner goes, unless it is
// handed on with release().
#pragma once

#include <unistd.h>

#include <utility>

namespace talvex::platform::posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Hands the descriptor over; this owner is empty afterwards.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  // Closes what is held (if anything) and takes `fd`.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

}  // namespace talvex::platform::posix
