#include "platform/win32/sdtapi_win32.h"

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/dynlib.h"

namespace talvex::platform::win32 {

bool CallVendorExit() {
  using ExitFunction = int(TALVEX_VENDOR_CALL*)(std::int32_t, void*, std::int32_t);
  DynamicLibrary library = DynamicLibrary::Load("sdtapi.dll");
  if (!library.IsLoaded()) return false;
  // Imported by number only. Symbol() takes names; the number goes to the
  // system directly, as MAKEINTRESOURCEA does.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"sdtapi.dll", &module))
    return false;
  auto call = reinterpret_cast<ExitFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1))));
  if (call == nullptr) return false;
  std::uint8_t scratch[16] = {};
  [[maybe_unused]] const int ignored = call(0, scratch, 0);
  return true;
}

}  // namespace talvex::platform::win32
