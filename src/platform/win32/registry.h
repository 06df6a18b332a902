// The registry helpers the Windows backend shares: the owner of one open key
// and the values of a key.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace talvex::platform::win32 {

// One open registry key, closed when the owner goes.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

struct RegistryValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::wstring text;  // the text of a REG_SZ or REG_EXPAND_SZ value, without its NULs; else ""
};

// The values of an open key; false when the key cannot be queried. A value
// that cannot be read is left out.
bool ReadRegistryValues(HKEY key, std::vector<RegistryValue>* out);

}  // namespace talvex::platform::win32
