// The owner of one Win32 kernel handle (file, device, event, process):
// closed when the owner goes, unless it is handed on with release(). Both of
// Win32's "no handle" values, null and INVALID_HANDLE_VALUE, count as empty.
#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

namespace talvex::platform::win32 {

struct HandleTraits {
  using Value = HANDLE;
  static HANDLE Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Held(HANDLE handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

using UniqueHandle = UniqueResource<HandleTraits>;

}  // namespace talvex::platform::win32
