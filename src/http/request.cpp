#include "http/request.h"

#include <atomic>

#include "http/request_testing.h"
#include "http/response.h"

namespace talvex {

using platform::IoStatus;
using platform::Network;
using platform::Socket;
using platform::WaitStatus;

namespace {

// Written once by a test server before the service starts; read on the
// service thread.
std::atomic<int> requestTimeMs{kRequestTimeMs};

constexpr std::u16string_view kCrLf = u"\r\n";
constexpr std::u16string_view kCardPath = u"/readCard";
constexpr std::u16string_view kEventsPath = u"/events";
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

namespace {

// Whether a request line (CR LF included) is a "GET" of `path`, the path in
// any ASCII letter case.
bool IsGetOf(std::u16string_view line, std::u16string_view path) {
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
  return tokens[0] == u"GET" && EqualsAsciiCaseless(tokens[1], path);
}

}  // namespace

bool IsCardRequestLine(std::u16string_view line) {
  return IsGetOf(line, kCardPath);
}

bool IsEventsRequestLine(std::u16string_view line) {
  return IsGetOf(line, kEventsPath);
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

int RequestTimeMs() {
  return requestTimeMs.load(std::memory_order_relaxed);
}

void ShortenRequestTimeForTests(int ms) {
  if (ms > 0 && ms < kRequestTimeMs) requestTimeMs.store(ms, std::memory_order_relaxed);
}

void RequestState::Reset() {
  phase = Phase::kRequestLine;
  line.clear();
  contentLength = 0;
  cardRequest = 0;
  hasOrigin = false;
  origin.clear();
  hostLines = 0;
  host.clear();
  crossSite = false;
  path.clear();
  startedMs = -1;
}

namespace {

// The request is whole: hand it over and start the next one afresh.
ResultCode Finish(RequestState& state, Request& request) {
  request.cardRequest = state.cardRequest;
  request.hasOrigin = state.hasOrigin;
  request.origin = std::move(state.origin);
  request.hostLines = state.hostLines;
  request.host = std::move(state.host);
  request.crossSite = state.crossSite;
  request.path = std::move(state.path);
  state.Reset();
  return kOk;
}

// A header line (without its CR LF) of the request.
void TakeHeaderLine(RequestState& state, std::u16string_view text) {
  std::u16string_view name;
  std::u16string_view value;
  // A header line of colons only has no name; it is skipped.
  if (SplitHeaderLine(text, name, value) && name == kContentLength) {
    state.contentLength = ParseUnsignedDecimal(value);
  }
  // The values of Origin and Host hold colons of their own: each is all of
  // the line behind the first colon, without the white space around it.
  const std::size_t colon = text.find(u':');
  if (colon == std::u16string_view::npos) return;
  const std::u16string_view header = text.substr(0, colon);
  std::size_t b = colon + 1;
  std::size_t e = text.size();
  while (b < e && (text[b] == u' ' || text[b] == u'\t')) ++b;
  while (e > b && (text[e - 1] == u' ' || text[e - 1] == u'\t')) --e;
  const std::u16string_view field = text.substr(b, e - b);
  if (EqualsAsciiCaseless(header, u"Origin")) {
    state.hasOrigin = true;
    state.origin.assign(field.begin(), field.end());
  } else if (EqualsAsciiCaseless(header, u"Host")) {
    state.hostLines += 1;
    state.host.assign(field.begin(), field.end());
  } else if (EqualsAsciiCaseless(header, u"Sec-Fetch-Site")) {
    state.crossSite = EqualsAsciiCaseless(field, u"cross-site");
  }
}

// A whole line has come: move the request on.
bool TakeLine(RequestState& state) {
  if (state.phase == RequestState::Phase::kRequestLine) {
    state.cardRequest = IsCardRequestLine(state.line)     ? 1
                        : IsEventsRequestLine(state.line) ? kEventsRequest
                                                          : 0;
    if (state.cardRequest != 0) {
      // The method has no '/': the first one starts the path, which is the
      // card or events path in some letter case.
      const std::size_t at = state.line.find(u'/');
      const std::size_t size = state.cardRequest == 1 ? kCardPath.size() : kEventsPath.size();
      for (std::size_t k = 0; k < size; ++k) {
        state.path.push_back(static_cast<char>(state.line[at + k]));
      }
    }
    state.phase = RequestState::Phase::kHeaders;
  } else if (state.line == kCrLf) {
    state.phase = RequestState::Phase::kBody;
    state.line.clear();
    return state.contentLength == 0;
  } else {
    TakeHeaderLine(state, std::u16string_view(state.line.data(), state.line.size() - 2));
  }
  state.line.clear();
  return false;
}

}  // namespace

ResultCode ReadRequest(Network& net, Socket socket, RequestState& state, Request& request) {
  request = Request{};
  if (state.InProgress() && net.NowMs() >= state.DeadlineMs()) {
    // A body that has not come in time is given up and the request served;
    // a request line or header block that has not is lost.
    if (state.phase == RequestState::Phase::kBody) {
      request.expired = true;
      return Finish(state, request);
    }
    state.Reset();
    return kNetTimeout;
  }
  std::uint8_t scratch[kBodyPiece];
  std::size_t taken = 0;
  while (taken < kTurnBytes) {
    const bool body = state.phase == RequestState::Phase::kBody;
    const std::size_t want =
        body ? (state.contentLength < kBodyPiece ? state.contentLength : kBodyPiece) : 1;
    std::size_t got = 0;
    switch (net.Receive(socket, scratch, want, &got)) {
      case IoStatus::kDone:
        if (got == 0) return kPeerClosed;
        break;
      case IoStatus::kWouldBlock:
        return kOk;  // request.cardRequest stays kRequestIncomplete
      case IoStatus::kPeerClosed:
        return kPeerClosed;
      case IoStatus::kFailed:
        return kSocketError;
    }
    if (!state.InProgress()) state.startedMs = net.NowMs();
    taken += got;
    if (body) {
      state.contentLength -= static_cast<std::uint32_t>(got);
      if (state.contentLength == 0) return Finish(state, request);
      continue;
    }
    // A client that never ends its line must not make it grow without bound.
    if (state.line.size() >= kMaxLineBytes) return kSocketError;
    const bool crBefore = !state.line.empty() && state.line.back() == 0x0D;
    state.line.push_back(static_cast<char16_t>(scratch[0]));
    if (crBefore && scratch[0] == 0x0A && TakeLine(state)) return Finish(state, request);
  }
  return kOk;
}

ResultCode ReadRequest(Network& net, Socket socket, int& cardRequest) {
  RequestState state;
  Request request;
  for (;;) {
    const bool hadLine = state.phase != RequestState::Phase::kRequestLine;
    const int flag = state.cardRequest;
    const ResultCode code = ReadRequest(net, socket, state, request);
    if (hadLine || state.phase != RequestState::Phase::kRequestLine) {
      cardRequest = state.phase != RequestState::Phase::kRequestLine ? state.cardRequest : flag;
    }
    if (code != kOk) return code;
    if (request.cardRequest != kRequestIncomplete) {
      cardRequest = request.cardRequest;
      return kOk;
    }
    std::int64_t left = RequestTimeMs();
    if (state.InProgress()) left = state.DeadlineMs() - net.NowMs();
    if (left <= 0) continue;  // the next call ends the request
    const WaitStatus waited = net.WaitReadable(socket, static_cast<int>(left));
    if (waited == WaitStatus::kTimeout) {
      if (!state.InProgress()) return kNetTimeout;
      continue;
    }
    const ResultCode ready = AfterReadinessWait(net, socket, waited);
    if (ready != kOk) return ready;
  }
}

}  // namespace talvex
