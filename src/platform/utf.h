// Portable UTF-16 to UTF-8 conversion, behaving as WideCharToMultiByte(CP_UTF8, 0, ...)
// does: an unpaired surrogate becomes U+FFFD (EF BF BD).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace talvex {

// Number of UTF-8 bytes that `text` converts to.
std::size_t Utf8Length(std::u16string_view text);

// Converts `text` into `out`, which has room for `capacity` bytes. Returns the
// number of bytes written, or 0 when they do not fit (then nothing useful is
// in `out`). Writes no terminator of its own; convert a string that includes
// its NUL to get one, as the Win32 call does with a source length of -1.
std::size_t Utf16ToUtf8(std::u16string_view text, char* out, std::size_t capacity);

// Converts a NUL-terminated string, terminator included, into `out`; returns
// the byte count with the terminator, or 0 when it does not fit.
std::size_t Utf16zToUtf8(const char16_t* text, char* out, std::size_t capacity);

std::string Utf16ToUtf8(std::u16string_view text);

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD. Used for paths and
// for reading text files (the simulator's card files).
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace talvex

namespace talvex {

// Text for a terminal: control bytes (C0, DEL, and the C1 controls as UTF-8
// or as lone bytes), NULs, bytes that are not UTF-8, and the invisible marks
// and direction overrides become "\xNN" per byte, so that nothing printed can
// move the cursor, change colours, hide itself or cut the line short. A
// backslash stays as it is (Windows paths are full of them). Newlines are
// kept when `keepNewlines` is set (a report of many lines).
std::string EscapeForTerminal(std::string_view text, bool keepNewlines = false);

}  // namespace talvex
