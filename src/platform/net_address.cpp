// Listen addresses as a user writes them: dotted IPv4 and the IPv6 text form
// (with one "::" run and an optional dotted IPv4 tail).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/net.h"

namespace talvex::platform {
namespace {

bool ParseIpv4(std::string_view text, std::uint8_t* out) {
  int part = 0;
  std::size_t i = 0;
  while (part < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    unsigned value = 0;
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      if (value > 255 || i - start >= 3) return false;
      ++i;
    }
    // No leading zeros: "010" would mean octal to some tools.
    if (i - start > 1 && text[start] == '0') return false;
    out[part++] = static_cast<std::uint8_t>(value);
    if (part < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  return i == text.size();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One group of an IPv6 address: one to four hex digits.
bool ParseHexGroup(std::string_view piece, std::uint16_t* group) {
  if (piece.empty() || piece.size() > 4) return false;
  unsigned value = 0;
  for (char c : piece) {
    const int h = HexValue(c);
    if (h < 0) return false;
    value = value * 16 + static_cast<unsigned>(h);
  }
  *group = static_cast<std::uint16_t>(value);
  return true;
}

// The 16 bytes of an address from its `count` groups, with zero groups
// where "::" stands (at group `gap`; none when gap is negative).
void WriteGroups(const std::uint16_t* groups, int count, int gap, std::uint8_t* out) {
  std::uint16_t full[8] = {};
  if (gap < 0) {
    for (int k = 0; k < 8; ++k) full[k] = groups[k];
  } else {
    const int tail = count - gap;
    for (int k = 0; k < gap; ++k) full[k] = groups[k];
    for (int k = 0; k < tail; ++k) full[8 - tail + k] = groups[gap + k];
  }
  for (int k = 0; k < 8; ++k) {
    out[2 * k] = static_cast<std::uint8_t>(full[k] >> 8);
    out[2 * k + 1] = static_cast<std::uint8_t>(full[k] & 0xFF);
  }
}

bool ParseIpv6(std::string_view text, std::uint8_t* out) {
  std::uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // where "::" stands, in groups
  std::size_t i = 0;
  if (text.starts_with("::")) {
    gap = 0;
    i = 2;
  } else if (text.starts_with(":")) {
    return false;
  }
  while (i < text.size()) {
    if (count == 8) return false;
    // A dotted IPv4 tail fills the last two groups.
    const std::size_t end = text.find(':', i);
    const std::string_view piece = text.substr(i, end == std::string_view::npos ? end : end - i);
    if (piece.find('.') != std::string_view::npos) {
      std::uint8_t v4[4];
      if (end != std::string_view::npos || count > 6 || !ParseIpv4(piece, v4)) return false;
      groups[count++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
      i = text.size();
      break;
    }
    if (!ParseHexGroup(piece, &groups[count++])) return false;
    if (end == std::string_view::npos) {
      i = text.size();
      break;
    }
    i = end + 1;
    if (i < text.size() && text[i] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
    } else if (i == text.size()) {
      return false;  // a single trailing colon
    }
  }
  if (gap < 0 && count != 8) return false;
  if (gap >= 0 && count > 7) return false;
  WriteGroups(groups, count, gap, out);
  return true;
}

}  // namespace

bool ParseIpAddress(std::string_view text, IpAddress* out) {
  IpAddress address;
  if (text.find(':') != std::string_view::npos) {
    address.v6 = true;
    if (!ParseIpv6(text, address.bytes)) return false;
  } else if (!ParseIpv4(text, address.bytes)) {
    return false;
  }
  *out = address;
  return true;
}

bool IsLoopbackAddress(const IpAddress& address) {
  if (!address.v6) return address.bytes[0] == 127;
  for (int k = 0; k < 15; ++k) {
    if (address.bytes[k] != 0) return false;
  }
  return address.bytes[15] == 1;
}

std::string FormatIpAddress(const IpAddress& address) {
  char text[48];
  const std::uint8_t* b = address.bytes;
  if (!address.v6) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
  }
  unsigned groups[8];
  for (int k = 0; k < 8; ++k) groups[k] = static_cast<unsigned>(b[2 * k] << 8 | b[2 * k + 1]);
  int bestStart = -1;
  int bestLength = 1;  // a single zero group is written as 0
  for (int k = 0; k < 8;) {
    if (groups[k] != 0) {
      ++k;
      continue;
    }
    int end = k;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - k > bestLength) {
      bestStart = k;
      bestLength = end - k;
    }
    k = end;
  }
  std::string out;
  for (int k = 0; k < 8; ++k) {
    if (k == bestStart) {
      out += "::";
      k += bestLength - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(text, sizeof text, "%x", groups[k]);
    out += text;
  }
  return out;
}

std::string FormatEndpoint(const IpAddress& address, std::uint16_t port) {
  const std::string host = FormatIpAddress(address);
  return (address.v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace talvex::platform
