// Base64 of any bytes, checked by decoding the text again with a plain
// reference decoder, and the capacity rule: one byte too few writes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "photo/photo.h"

namespace {

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard alphabet with '=' padding; false on anything else.
bool Decode(const char* text, std::size_t length, std::vector<std::uint8_t>& out) {
  if (length % 4 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < length; i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      if (text[i + k] == '=') {
        if (i + 4 != length || k < 2) return false;
        v[k] = 0;
        ++pad;
      } else {
        if (pad != 0) return false;
        v[k] = Sextet(text[i + k]);
        if (v[k] < 0) return false;
      }
    }
    const std::uint32_t n = (std::uint32_t(v[0]) << 18) | (std::uint32_t(v[1]) << 12) |
                            (std::uint32_t(v[2]) << 6) | std::uint32_t(v[3]);
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(n));
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t length = static_cast<std::uint32_t>(size);
  const std::uint32_t expected = (length + 2) / 3 * 4;
  const std::uint32_t capacity = expected + 1;
  // Exactly `capacity` bytes, so that a write past the end is seen.
  std::unique_ptr<char[]> out(new char[capacity]);
  std::memset(out.get(), '#', capacity);
  const std::uint32_t written = talvex::Base64Encode(length, data, out.get(), capacity);
  if (written != expected || out[written] != '\0') std::abort();
  std::vector<std::uint8_t> back;
  if (!Decode(out.get(), written, back)) std::abort();
  if (back.size() != size || (size != 0 && std::memcmp(back.data(), data, size) != 0)) std::abort();

  // One byte short: nothing written, 0 returned.
  std::unique_ptr<char[]> small(new char[capacity - 1 == 0 ? 1 : capacity - 1]);
  std::memset(small.get(), '#', capacity - 1 == 0 ? 1 : capacity - 1);
  if (capacity - 1 > 0) {
    if (talvex::Base64Encode(length, data, small.get(), capacity - 1) != 0) std::abort();
    for (std::uint32_t i = 0; i < capacity - 1; ++i) {
      if (small[i] != '#') std::abort();
    }
  }
  return 0;
}
