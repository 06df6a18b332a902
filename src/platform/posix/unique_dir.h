// The owner of one open directory stream: closed when the owner goes, unless
// it is handed on with release().
#pragma once

#include <dirent.h>

#include "platform/unique_resource.h"

namespace talvex::platform::posix {

struct DirTraits {
  using Value = DIR*;
  static DIR* Empty() noexcept { return nullptr; }
  static bool Held(DIR* dir) noexcept { return dir != nullptr; }
  static void Close(DIR* dir) noexcept { ::closedir(dir); }
};

using UniqueDir = UniqueResource<DirTraits>;

}  // namespace talvex::platform::posix
