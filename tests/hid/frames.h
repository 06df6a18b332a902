// Response frames built byte by byte for the transport tests.
#pragma once

#include <cstdint>
#include <vector>

namespace talvex::testing {

// A valid response: preamble, LEN = 4 + dataSize, SW1 SW2 SW3, data bytes
// 0, 1, 2, ... (mod 251), checksum.
inline std::vector<std::uint8_t> Response(std::uint32_t dataSize, std::uint8_t sw3 = 0x90) {
  const std::uint32_t len = 4 + dataSize;
  std::vector<std::uint8_t> f = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
  f.push_back(static_cast<std::uint8_t>(len >> 8));
  f.push_back(static_cast<std::uint8_t>(len & 0xFF));
  f.push_back(0x00);
  f.push_back(0x00);
  f.push_back(sw3);
  for (std::uint32_t i = 0; i < dataSize; ++i) f.push_back(static_cast<std::uint8_t>(i % 251));
  std::uint8_t sum = 0;
  for (std::size_t i = 5; i < f.size(); ++i) sum ^= f[i];
  f.push_back(sum);
  return f;
}

// A response frame with the given LEN (4..2361): 7 + len bytes in all.
inline std::vector<std::uint8_t> ResponseWithLen(std::uint32_t len, std::uint8_t sw3 = 0x90) {
  return Response(len - 4, sw3);
}

}  // namespace talvex::testing
