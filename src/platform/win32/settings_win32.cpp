// The installer's settings: the text values of HKLM\Software\Talvex, in the
// registry view of this program's own width (the 32-bit program and the
// 32-bit package both use the redirected view, so they meet).
#include <windows.h>

#include "platform/dynlib.h"
#include "platform/settings.h"
#include "platform/win32/registry.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
bool ReadMachineSettings(std::vector<std::pair<std::string, std::string>>* out) {
  out->clear();
  win32::RegistryKey key;
  std::vector<win32::RegistryValue> values;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Talvex", 0, KEY_QUERY_VALUE, key.Out()) !=
          ERROR_SUCCESS ||
      !win32::ReadRegistryValues(key.Get(), &values)) {
    return false;
  }
  for (const win32::RegistryValue& value : values) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) continue;
    out->emplace_back(win32::Utf8FromWide(value.name), win32::Utf8FromWide(value.text));
  }
  return !out->empty();
}

const char* MachineSettingsSource() {
  return "HKLM\\Software\\Talvex";
}

std::string DefaultSettingsFile() {
  std::string dir;
  if (!ExecutableDirectory(&dir)) return std::string();
  return dir + "talvex.conf";
}

bool ReadSettingsFile(const std::string& path, std::string* text, bool* missing, std::string* why) {
  text->clear();
  *missing = false;
  const std::wstring wide = win32::WideFromUtf8(path);
  const win32::UniqueHandle h(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) {
    const DWORD error = GetLastError();
    *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    *why = "cannot be read (error " + std::to_string(error) + ")";
    return false;
  }
  // A named pipe or a device is no settings file, and reading one could
  // hold the start-up.
  if (GetFileType(h.get()) != FILE_TYPE_DISK) {
    *why = "is not a regular file (a pipe or device)";
    return false;
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(h.get(), &size) &&
      size.QuadPart > static_cast<LONGLONG>(kMaxSettingsFileBytes)) {
    *why = "is larger than 1 MiB; a settings file is a few lines";
    return false;
  }
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h.get(), buffer, sizeof buffer, &got, nullptr)) {
      *why = "cannot be read (error " + std::to_string(GetLastError()) + ")";
      text->clear();
      return false;
    }
    if (got == 0) return true;
    if (text->size() + got > kMaxSettingsFileBytes) {
      *why = "is larger than 1 MiB; a settings file is a few lines";
      text->clear();
      return false;
    }
    text->append(buffer, got);
  }
}

}  // namespace talvex::platform
