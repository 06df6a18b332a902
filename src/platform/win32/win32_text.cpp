#include "platform/win32/win32_text.h"

#include "platform/utf.h"

namespace talvex::platform::win32 {

std::wstring WideFromUtf8(std::string_view text) {
  return WideFromUtf16(Utf8ToUtf16(text));
}

std::string Utf8FromWide(std::wstring_view text) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace talvex::platform::win32
