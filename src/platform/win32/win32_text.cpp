#include "platform/win32/win32_text.h"

#include <windows.h>

#include "platform/utf.h"

namespace talvex::platform::win32 {

std::wstring WideFromUtf8(std::string_view text) {
  return WideFromUtf16(Utf8ToUtf16(text));
}

std::string Utf8FromWide(std::wstring_view text) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::size_t ToCodePage(unsigned codePage, const char16_t* text, char* out, std::size_t capacity) {
  if (text == nullptr || out == nullptr || capacity == 0 || capacity > 0x7FFFFFFF) return 0;
  const int room = static_cast<int>(capacity);
  if (codePage == CP_UTF8) {
    // UTF-8 allows neither the best-fit flag nor the lossy report: with them
    // the call fails for every text.
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, Wide(text), -1, out, room,
                                      nullptr, nullptr);
    return n <= 0 ? 0 : static_cast<std::size_t>(n);
  }
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, Wide(text), -1, out, room,
                                    nullptr, &lossy);
  if (n <= 0 || lossy) return 0;
  return static_cast<std::size_t>(n);
}

}  // namespace talvex::platform::win32
