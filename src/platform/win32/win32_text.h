// Text helpers of the Windows backend: UTF-16 is char16_t above the seam and
// wchar_t (also 16 bits on Windows) at the system interface.
#pragma once

#include <cstddef>
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

// A NUL-terminated UTF-16 text in the given code page, terminator included, in
// out[0..capacity). Returns the bytes written with the terminator, or 0 when it
// does not fit or a character has no exact form in the code page (it would
// become '?' or a look-alike, and a path would name another file). For UTF-8
// only an unpaired surrogate has no exact form.
std::size_t ToCodePage(unsigned codePage, const char16_t* text, char* out, std::size_t capacity);

}  // namespace talvex::platform::win32
