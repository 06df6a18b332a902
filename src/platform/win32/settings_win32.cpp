// The installer's settings: the text values of HKLM\Software\Talvex, in the
// registry view of this program's own width (the 32-bit program and the
// 32-bit package both use the redirected view, so they meet).
#include <windows.h>

#include "platform/dynlib.h"
#include "platform/settings.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

bool ReadMachineSettings(std::vector<std::pair<std::string, std::string>>* out) {
  out->clear();
  Key key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Talvex", 0, KEY_QUERY_VALUE, key.Out()) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD count = 0;
  DWORD longestName = 0;
  DWORD longestData = 0;
  if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                       &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring name(longestName + 1, L'\0');
  std::wstring data(longestData / sizeof(wchar_t) + 1, L'\0');
  for (DWORD i = 0; i < count; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    DWORD type = 0;
    if (RegEnumValueW(key.Get(), i, name.data(), &nameLength, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()), &dataBytes) != ERROR_SUCCESS) {
      continue;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
    std::size_t units = dataBytes / sizeof(wchar_t);
    while (units > 0 && data[units - 1] == L'\0') --units;
    out->emplace_back(win32::Utf8FromWide(std::wstring_view(name.data(), nameLength)),
                      win32::Utf8FromWide(std::wstring_view(data.data(), units)));
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
