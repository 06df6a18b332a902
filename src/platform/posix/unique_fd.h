// The owner of one file descriptor: closed when the owner goes, unless it is
// handed on with release().
#pragma once

#include <unistd.h>

#include "platform/unique_resource.h"

namespace talvex::platform::posix {

struct FdTraits {
  using Value = int;
  static int Empty() noexcept { return -1; }
  static bool Held(int fd) noexcept { return fd >= 0; }
  static void Close(int fd) noexcept { ::close(fd); }
};

using UniqueFd = UniqueResource<FdTraits>;

}  // namespace talvex::platform::posix
