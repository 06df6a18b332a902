#include "platform/win32/registry.h"

namespace talvex::platform::win32 {

bool ReadRegistryValues(HKEY key, std::vector<RegistryValue>* out) {
  out->clear();
  DWORD count = 0, longestName = 0, longestData = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                       &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring name(longestName + 1, L'\0');
  std::wstring data(longestData / sizeof(wchar_t) + 1, L'\0');
  for (DWORD i = 0; i < count; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    DWORD type = 0;
    if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()), &dataBytes) != ERROR_SUCCESS) {
      continue;
    }
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ;
    std::size_t units = text ? dataBytes / sizeof(wchar_t) : 0;
    while (units > 0 && data[units - 1] == L'\0') --units;
    out->push_back({std::wstring(name.data(), nameLength), type, std::wstring(data.data(), units)});
  }
  return true;
}

}  // namespace talvex::platform::win32
