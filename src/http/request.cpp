#include "http/request.h"

namespace talvex {

using platform::IoStatus;
using platform::Network;
using platform::Socket;
using platform::WaitStatus;

ResultCode AfterReadinessWait(Network& net, Socket socket, WaitStatus waited) {
  switch (waited) {
    case WaitStatus::kReady:
      break;
    case WaitStatus::kTimeout:
      return kNetTimeout;
    case WaitStatus::kNotSet:
    case WaitStatus::kFailed:
      return kSocketError;
  }
  int error = 0;
  if (!net.PendingError(socket, &error) || error != 0) return kSocketError;
  return kOk;
}

ResultCode ReceiveSome(Network& net, Socket socket, std::uint8_t* buffer, std::size_t size,
                       std::size_t& received) {
  received = 0;
  for (;;) {
    std::size_t got = 0;
    switch (net.Receive(socket, buffer, size, &got)) {
      case IoStatus::kDone:
        if (got == 0) return kPeerClosed;  // a zero-size receive has nothing to report
        received = got;
        return kOk;
      case IoStatus::kPeerClosed:
        return kPeerClosed;
      case IoStatus::kFailed:
        return kSocketError;
      case IoStatus::kWouldBlock:
        break;
    }
    const ResultCode waited =
        AfterReadinessWait(net, socket, net.WaitReadable(socket, kReadinessWaitMs));
    if (waited != kOk) return waited;
  }
}

ResultCode ReceiveAll(Network& net, Socket socket, std::uint8_t* buffer, std::size_t size,
                      std::size_t& received) {
  std::size_t total = 0;
  while (total < size) {
    const std::size_t remaining = size - total;
    const std::size_t piece = remaining < kReceivePiece ? remaining : kReceivePiece;
    std::size_t got = 0;
    const ResultCode code = ReceiveSome(net, socket, buffer + total, piece, got);
    if (code != kOk) {
      received = total;
      return code;
    }
    total += got;
  }
  received = total;
  return kOk;
}

ResultCode ReadLine(Network& net, Socket socket, std::u16string& line) {
  line.clear();
  std::uint8_t previous = 0;
  for (;;) {
    std::uint8_t byte = 0;
    std::size_t got = 0;
    const ResultCode code = ReceiveSome(net, socket, &byte, 1, got);
    if (code != kOk) return code;
    // A client that never ends its line must not make it grow without bound.
    if (line.size() >= kMaxLineBytes) return kSocketError;
    line.push_back(static_cast<char16_t>(byte));
    if (previous == 0x0D && byte == 0x0A) return kOk;
    previous = byte;
  }
}

namespace {

constexpr std::u16string_view kCrLf = u"\r\n";
constexpr std::u16string_view kCardPath = u"/readCard";
constexpr std::u16string_view kContentLength = u"Content-Length";

char16_t AsciiLower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

bool EqualsAsciiCaseless(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// The wide white space of the C locale.
bool IsSpace(char16_t c) {
  return c == u' ' || (c >= 0x09 && c <= 0x0D);
}

}  // namespace

bool IsCardRequestLine(std::u16string_view line) {
  // Tokens are separated by runs of U+0020; the CR LF stays with the last one.
  std::u16string_view tokens[2];
  int found = 0;
  std::size_t i = 0;
  while (found < 2) {
    while (i < line.size() && line[i] == u' ') ++i;
    if (i == line.size()) break;
    const std::size_t start = i;
    while (i < line.size() && line[i] != u' ') ++i;
    tokens[found++] = line.substr(start, i - start);
  }
  return tokens[0] == u"GET" && EqualsAsciiCaseless(tokens[1], kCardPath);
}

bool SplitHeaderLine(std::u16string_view line, std::u16string_view& name,
                     std::u16string_view& value) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == u':') ++i;
  if (i == line.size()) return false;
  std::size_t end = line.find(u':', i);
  if (end == std::u16string_view::npos) {
    name = line.substr(i);
    value = {};
    return true;
  }
  name = line.substr(i, end - i);
  std::size_t v = end;
  while (v < line.size() && line[v] == u':') ++v;
  const std::size_t vend = line.find(u':', v);
  value = line.substr(v, vend == std::u16string_view::npos ? std::u16string_view::npos : vend - v);
  return true;
}

std::uint32_t ParseUnsignedDecimal(std::u16string_view value) {
  std::size_t i = 0;
  while (i < value.size() && IsSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == u'+' || value[i] == u'-')) {
    negative = value[i] == u'-';
    ++i;
  }
  std::uint64_t magnitude = 0;
  bool overflow = false;
  bool digits = false;
  for (; i < value.size() && value[i] >= u'0' && value[i] <= u'9'; ++i) {
    digits = true;
    if (!overflow) {
      magnitude = magnitude * 10 + static_cast<std::uint64_t>(value[i] - u'0');
      if (magnitude > 0xFFFFFFFFull) overflow = true;
    }
  }
  if (!digits) return 0;
  if (overflow) return 0xFFFFFFFFu;
  const auto m = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - m) : m;
}

ResultCode ReadRequest(Network& net, Socket socket, int& cardRequest) {
  std::uint32_t contentLength = 0;
  std::u16string line;
  ResultCode code = ReadLine(net, socket, line);
  if (code != kOk) return code;
  cardRequest = IsCardRequestLine(line) ? 1 : 0;

  for (;;) {
    code = ReadLine(net, socket, line);
    if (code != kOk) return code;
    if (line == kCrLf) break;
    const std::u16string_view text(line.data(), line.size() - 2);
    std::u16string_view name;
    std::u16string_view value;
    // A header line of colons only has no name; it is skipped.
    if (SplitHeaderLine(text, name, value) && name == kContentLength) {
      contentLength = ParseUnsignedDecimal(value);
    }
  }

  // Drain the body. A piece that fails ends the drain: every further piece
  // would wait its own 15 seconds for a client that has stopped sending.
  std::uint8_t scratch[kBodyPiece];
  while (contentLength > 0) {
    const std::uint32_t piece = contentLength < kBodyPiece ? contentLength : kBodyPiece;
    std::size_t got = 0;
    if (ReceiveAll(net, socket, scratch, piece, got) != kOk) break;
    contentLength -= piece;
  }
  return kOk;
}

}  // namespace talvex
