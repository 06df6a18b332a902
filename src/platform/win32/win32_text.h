// Text helpers of the Windows backend: UTF-16 is char16_t above the seam and
// wchar_t (also 16 bits on Windows) at the system interface.
#pragma once

#include <string>
#include <string_view>

namespace talvex::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

inline const wchar_t* Wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

inline std::wstring WideFromUtf16(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

inline std::u16string Utf16FromWide(std::wstring_view text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

// UTF-8 to wide and back, for paths handed across the seam as UTF-8.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

}  // namespace talvex::platform::win32
