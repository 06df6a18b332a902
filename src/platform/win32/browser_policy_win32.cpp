// Managed browser policies on Windows: HKLM\SOFTWARE\Policies\<vendor>\<browser>,
// where a list is a key whose values are named 1, 2, ... Others may have
// values in the same keys; Talvex appends after the highest number in use,
// and notes each value (and each key it had to create) under
// HKLM\Software\Talvex\BrowserPolicy, so that removing takes back exactly
// those, and only while they still hold what Talvex wrote.
#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "platform/browser_policy_store.h"
#include "platform/win32/registry.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

// The policy keys are read by 64-bit browsers: the 64-bit view, also from the
// 32-bit program. The notes live with the other settings of Software\Talvex,
// in the program's own view (the installer removes that key).
constexpr REGSAM kPolicyView = KEY_WOW64_64KEY;

using Key = win32::RegistryKey;

std::wstring W(const std::string& text) {
  return win32::WideFromUtf8(text);
}

std::string Message(const std::string& what, LONG status) {
  return what + " (error " + std::to_string(status) + ")";
}

// The values of an open key as (name, text) pairs; values that are not
// REG_SZ with an empty text.
std::vector<std::pair<std::wstring, std::wstring>> Values(HKEY key) {
  std::vector<std::pair<std::wstring, std::wstring>> out;
  std::vector<win32::RegistryValue> values;
  win32::ReadRegistryValues(key, &values);
  for (win32::RegistryValue& value : values) {
    out.emplace_back(std::move(value.name),
                     value.type == REG_SZ ? std::move(value.text) : std::wstring());
  }
  return out;
}

LONG SetText(HKEY key, const std::wstring& name, const std::wstring& text) {
  return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The highest value name that is a number, 0 when there is none.
unsigned long HighestNumber(HKEY key) {
  unsigned long highest = 0;
  for (const auto& [name, text] : Values(key)) {
    if (name.empty() || name.size() > 9 ||
        !std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
      continue;
    }
    highest = std::max(highest, std::wcstoul(name.c_str(), nullptr, 10));
  }
  return highest;
}

// Opens (creating what is missing, one level at a time) the key at `path`
// below `base`, which must exist; the keys it created go to *created.
LONG CreateKeyPath(const std::wstring& base, const std::wstring& path, Key* out,
                   std::vector<std::wstring>* created) {
  std::wstring current = base;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    current += L"\\" + path.substr(start, end - start);
    Key key;
    DWORD disposition = 0;
    const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, current.c_str(), 0, nullptr, 0,
                                        KEY_QUERY_VALUE | KEY_SET_VALUE | kPolicyView, nullptr,
                                        key.Out(), &disposition);
    if (status != ERROR_SUCCESS) return status;
    if (disposition == REG_CREATED_NEW_KEY) created->push_back(current);
    if (end == path.size()) {
      std::swap(*out->Out(), *key.Out());
      return ERROR_SUCCESS;
    }
    start = end + 1;
  }
  return ERROR_INVALID_PARAMETER;
}

enum class KeyState { kMissing, kEmpty, kHolds };

KeyState StateOf(const std::wstring& path) {
  Key key;
  const LONG status =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | kPolicyView, key.Out());
  if (status == ERROR_FILE_NOT_FOUND) return KeyState::kMissing;
  DWORD subkeys = 1, values = 1;
  if (status != ERROR_SUCCESS ||
      RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return KeyState::kHolds;
  }
  return subkeys == 0 && values == 0 ? KeyState::kEmpty : KeyState::kHolds;
}

// Notes: value name "<key path>\<value name>" with the text written, or
// "<key path>\" with the text "key" for a key Talvex created.
constexpr const wchar_t* kCreatedKey = L"key";

}  // namespace

std::vector<PolicyTarget> BrowserPolicyTargets(const std::string& root) {
  const std::string base = root.empty() ? "SOFTWARE\\Policies" : root;
  const std::string record = root.empty() ? "Software\\Talvex\\BrowserPolicy" : root + "\\Talvex";
  return {
      {"Chromium", BrowserFamily::kChromium, base + "\\Chromium", record, true},
      {"Google Chrome", BrowserFamily::kChromium, base + "\\Google\\Chrome", record, true},
      {"Microsoft Edge", BrowserFamily::kChromium, base + "\\Microsoft\\Edge", record, true},
      {"Firefox", BrowserFamily::kFirefox, base + "\\Mozilla\\Firefox", record, true},
  };
}

std::string PolicyDestination(const PolicyTarget& target) {
  return "HKLM\\" + target.location;
}

std::string FormatPolicies(const PolicyTarget& target, const std::vector<PolicyList>& lists) {
  std::string out;
  for (const PolicyList& list : lists) {
    std::string name = list.name;
    std::replace(name.begin(), name.end(), '/', '\\');
    for (std::size_t i = 0; i < list.values.size(); ++i) {
      out += PolicyDestination(target) + "\\" + name + "\\" + std::to_string(i + 1) + " = " +
             list.values[i] + "\n";
    }
  }
  return out;
}

bool InstallPolicies(const PolicyTarget& target, const std::vector<PolicyList>& lists,
                     std::string* error) {
  int removed = 0;
  if (!RemovePolicies(target, &removed, error)) return false;
  Key record;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(target.record).c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE, nullptr, record.Out(), nullptr);
  if (status != ERROR_SUCCESS) {
    *error = Message("cannot write HKLM\\" + target.record, status);
    return false;
  }
  const std::wstring base = W(target.location.substr(0, target.location.find('\\')));
  const std::wstring below = W(target.location.substr(target.location.find('\\') + 1));
  for (const PolicyList& list : lists) {
    std::wstring path = below + L"\\" + W(list.name);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    Key key;
    std::vector<std::wstring> created;
    status = CreateKeyPath(base, path, &key, &created);
    for (const std::wstring& k : created) SetText(record.Get(), k + L"\\", kCreatedKey);
    if (status != ERROR_SUCCESS) {
      *error = Message("cannot write HKLM\\" + target.location, status);
      return false;
    }
    unsigned long next = HighestNumber(key.Get());
    const std::wstring full = base + L"\\" + path;
    for (const std::string& value : list.values) {
      const std::wstring name = std::to_wstring(++next);
      status = SetText(key.Get(), name, W(value));
      if (status == ERROR_SUCCESS) status = SetText(record.Get(), full + L"\\" + name, W(value));
      if (status != ERROR_SUCCESS) {
        *error = Message("cannot write HKLM\\" + win32::Utf8FromWide(full), status);
        return false;
      }
    }
  }
  return true;
}

bool RemovePolicies(const PolicyTarget& target, int* count, std::string* error) {
  *count = 0;
  Key record;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(target.record).c_str(), 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, record.Out());
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) {
    *error = Message("cannot open HKLM\\" + target.record, status);
    return false;
  }
  const std::wstring location = W(target.location);
  std::vector<std::wstring> createdKeys;
  for (const auto& [note, text] : Values(record.Get())) {
    if (note.ends_with(L"\\")) {
      // A key Talvex made: below this browser's key, or one of its parents
      // (made for it, and perhaps holding another browser's key as well).
      const std::wstring path = note.substr(0, note.size() - 1);
      if (path.starts_with(location + L"\\") || path == location || location.starts_with(note)) {
        createdKeys.push_back(path);
      }
      continue;
    }
    if (!note.starts_with(location + L"\\")) continue;
    const std::size_t slash = note.rfind(L'\\');
    const std::wstring keyPath = note.substr(0, slash);
    const std::wstring name = note.substr(slash + 1);
    Key key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE | kPolicyView, key.Out()) == ERROR_SUCCESS) {
      for (const auto& [valueName, valueText] : Values(key.Get())) {
        // Someone else's value under the same number is left alone.
        if (valueName == name && valueText == text &&
            RegDeleteValueW(key.Get(), name.c_str()) == ERROR_SUCCESS) {
          ++*count;
        }
      }
    }
    RegDeleteValueW(record.Get(), note.c_str());
  }
  // Deepest first. A key that holds anything now is someone else's business
  // (or another browser's: its note stays for that browser's turn).
  std::sort(createdKeys.begin(), createdKeys.end(),
            [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
  for (const std::wstring& path : createdKeys) {
    const KeyState state = StateOf(path);
    if (state == KeyState::kEmpty)
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), kPolicyView, 0);
    if (state != KeyState::kHolds) RegDeleteValueW(record.Get(), (path + L"\\").c_str());
  }
  // The notes' own key goes with the last note.
  DWORD notes = 1;
  if (RegQueryInfoKeyW(record.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &notes,
                       nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      notes == 0) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(target.record).c_str());
  }
  return true;
}

std::vector<std::string> OtherPolicySources(const PolicyTarget&, const std::string&) {
  return {};
}

}  // namespace talvex::platform
