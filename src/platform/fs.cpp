// What every backend's File shares; each backend has only its opening,
// reading, writing and Close().
#include "platform/fs.h"

#include <utility>

namespace talvex::platform {

File::~File() {
  Close();
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

}  // namespace talvex::platform
