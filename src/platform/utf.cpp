#include "platform/utf.h"

#include <cstdint>

namespace talvex {
namespace {

// Calls emit(byte) for each UTF-8 byte of `text`.
template <typename Emit>
void EncodeUtf8(std::u16string_view text, Emit&& emit) {
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // unpaired surrogate
    }
    if (cp < 0x80) {
      emit(static_cast<char>(cp));
    } else if (cp < 0x800) {
      emit(static_cast<char>(0xC0 | (cp >> 6)));
      emit(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      emit(static_cast<char>(0xE0 | (cp >> 12)));
      emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      emit(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      emit(static_cast<char>(0xF0 | (cp >> 18)));
      emit(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      emit(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
}

}  // namespace

std::size_t Utf8Length(std::u16string_view text) {
  std::size_t count = 0;
  EncodeUtf8(text, [&count](char) { ++count; });
  return count;
}

std::size_t Utf16ToUtf8(std::u16string_view text, char* out, std::size_t capacity) {
  if (Utf8Length(text) > capacity) return 0;
  std::size_t written = 0;
  EncodeUtf8(text, [&](char c) { out[written++] = c; });
  return written;
}

std::size_t Utf16zToUtf8(const char16_t* text, char* out, std::size_t capacity) {
  std::u16string_view view(text);
  std::size_t body = Utf8Length(view);
  if (body + 1 > capacity) return 0;
  Utf16ToUtf8(view, out, capacity);
  out[body] = '\0';
  return body + 1;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(Utf8Length(text));
  EncodeUtf8(text, [&out](char c) { out.push_back(c); });
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    std::uint32_t cp;
    int extra;
    if (b < 0x80) {
      cp = b;
      extra = 0;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1F;
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      cp = b & 0x0F;
      extra = 2;
    } else if (b >= 0xF0 && b <= 0xF4) {
      cp = b & 0x07;
      extra = 3;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= n || (p[i + k] & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are invalid.
    if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
               (cp >= 0xD800 && cp <= 0xDFFF))) {
      ok = false;
    }
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

}  // namespace talvex

namespace talvex {

namespace {

// The length of the well-formed UTF-8 sequence at text[i] whose code point is
// not a control; 0 when there is none.
std::size_t PrintableSequence(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  std::uint32_t point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0u) != 0x80u) return 0;
    point = (point << 6) | (next & 0x3Fu);
  }
  const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  if (point <= 0x9F) return 0;  // the C1 controls
  // Marks that print nothing or turn the direction of what follows: zero
  // widths, bidirectional embeddings, overrides and isolates, the BOM.
  if ((point >= 0x200B && point <= 0x200F) || (point >= 0x202A && point <= 0x202E) ||
      (point >= 0x2060 && point <= 0x2069) || point == 0xFEFF) {
    return 0;
  }
  return length;
}

}  // namespace

std::string EscapeForTerminal(std::string_view text, bool keepNewlines) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte >= 0x20 && byte < 0x7F) || (byte == '\n' && keepNewlines)) {
      out += static_cast<char>(byte);
      ++i;
    } else if (const std::size_t length = byte >= 0x80 ? PrintableSequence(text, i) : 0;
               length > 0) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
      ++i;
    }
  }
  return out;
}

}  // namespace talvex
