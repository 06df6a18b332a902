#include "http/response.h"

#include <chrono>
#include <cstdio>

#include "card/result_message.h"

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
    case WaitStatus::kStopped:
      return kSocketError;
  }
  int error = 0;
  if (!net.PendingError(socket, &error) || error != 0) return kSocketError;
  return kOk;
}

ResultCode SendSome(Network& net, Socket socket, const std::uint8_t* data, std::size_t size,
                    std::size_t& sent, const WaitLimits& limits) {
  sent = 0;
  for (;;) {
    std::size_t count = 0;
    switch (net.Send(socket, data, size, &count)) {
      case IoStatus::kDone:
        sent = count;
        return kOk;
      case IoStatus::kWouldBlock:
        break;
      case IoStatus::kPeerClosed:
      case IoStatus::kFailed:
        return kSocketError;
    }
    int waitMs = kReadinessWaitMs;
    if (limits.deadlineMs >= 0) {
      const std::int64_t left = limits.deadlineMs - net.NowMs();
      if (left <= 0) return kNetTimeout;
      if (left < waitMs) waitMs = static_cast<int>(left);
    }
    const WaitStatus status = limits.stop != nullptr
                                  ? net.WaitWritableOrStop(socket, waitMs, limits.stop)
                                  : net.WaitWritable(socket, waitMs);
    const ResultCode waited = AfterReadinessWait(net, socket, status);
    if (waited != kOk) return waited;
  }
}

ResultCode SendAll(Network& net, Socket socket, const std::uint8_t* data, std::size_t size,
                   std::size_t& sent, const WaitLimits& limits) {
  std::size_t total = 0;
  while (total < size) {
    const std::size_t remaining = size - total;
    const std::size_t piece = remaining < kSendPiece ? remaining : kSendPiece;
    std::size_t count = 0;
    const ResultCode code = SendSome(net, socket, data + total, piece, count, limits);
    if (code != kOk) {
      sent = total;
      return code;
    }
    // A send that moved nothing would loop for ever; the socket is not
    // taking data although it said it would.
    if (count == 0) {
      sent = total;
      return kSocketError;
    }
    total += count;
  }
  sent = total;
  return kOk;
}

namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Proleptic Gregorian date of a day count since 1970-01-01.
void CivilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

ResultCode SendText(Network& net, Socket socket, const char* data, std::size_t size,
                    const WaitLimits& limits) {
  std::size_t sent = 0;
  return SendAll(net, socket, reinterpret_cast<const std::uint8_t*>(data), size, sent, limits);
}

std::string HeaderBlockNow(std::int32_t contentLength, std::string_view originLines) {
  char timeText[kTimeTextCapacity];
  FormatTimeText(CurrentTimeSeconds(), timeText);
  return BuildHeaderBlock(timeText, contentLength, originLines);
}

}  // namespace

std::size_t FormatTimeText(std::int64_t secondsSince1970, char (&out)[kTimeTextCapacity]) {
  std::int64_t days = secondsSince1970 / 86400;
  std::int64_t secondsOfDay = secondsSince1970 % 86400;
  if (secondsOfDay < 0) {
    secondsOfDay += 86400;
    days -= 1;
  }
  std::int64_t year = 0;
  int month = 1;
  int day = 1;
  CivilFromDays(days, year, month, day);
  // 1970-01-01 was a Thursday.
  const int weekday = static_cast<int>(((days % 7) + 11) % 7);
  const int n = std::snprintf(
      out, kTimeTextCapacity, "%s, %02d %s %04lld %02d:%02d:%02d GMT", kDayNames[weekday], day,
      kMonthNames[month - 1], static_cast<long long>(year), static_cast<int>(secondsOfDay / 3600),
      static_cast<int>(secondsOfDay / 60 % 60), static_cast<int>(secondsOfDay % 60));
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<std::size_t>(n) < kTimeTextCapacity ? static_cast<std::size_t>(n)
                                                         : kTimeTextCapacity - 1;
}

std::int64_t CurrentTimeSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::string BuildHeaderBlock(const char* timeText, std::int32_t contentLength,
                             std::string_view originLines) {
  std::string block;
  block.reserve(256);
  block += "HTTP/1.1 200 OK\r\n";
  block += "Date: ";
  block += timeText;
  block += "\r\n";
  block += "Server: Talvex Http Server\r\n";
  block += "Content-Type: text/plain;charset=utf-8\r\n";
  block += "Content-Length: ";
  block += std::to_string(contentLength);
  block += "\r\n";
  block += "Last-Modified: ";
  block += timeText;
  block += "\r\n";
  block += originLines;
  block += "Cache-Control: no-cache,no-store\r\n";
  block += "\r\n";
  return block;
}

ResultCode SendCardResponse(Network& net, Socket socket, const char* resultText,
                            std::int32_t resultLength, const char* photoText,
                            std::size_t photoLength, const ResponseOptions& options) {
  const std::string header = HeaderBlockNow(
      static_cast<std::int32_t>(resultLength + static_cast<std::int64_t>(photoLength)),
      options.originLines);
  ResultCode code = SendText(net, socket, header.data(), header.size(), options.limits);
  if (code != kOk) return code;
  code = SendText(net, socket, resultText, static_cast<std::size_t>(resultLength), options.limits);
  if (code != kOk) return code;
  return SendText(net, socket, photoText, photoLength, options.limits);
}

ResultCode SendErrorResponse(Network& net, Socket socket, ResultCode code,
                             const ResponseOptions& options) {
  char body[64];
  std::int32_t length = FormatResultMessage(code, body);
  if (length < 0) length = 0;
  const std::string header = HeaderBlockNow(length, options.originLines);
  const ResultCode sent = SendText(net, socket, header.data(), header.size(), options.limits);
  if (sent != kOk) return sent;
  return SendText(net, socket, body, static_cast<std::size_t>(length), options.limits);
}

OriginAnswer AnswerOrigin(const std::vector<std::string>& allowOrigins, bool hasOrigin,
                          std::string_view origin, bool crossSite) {
  OriginAnswer answer;
  if (allowOrigins.empty() || (!hasOrigin && !crossSite)) return answer;
  bool listed = false;
  if (hasOrigin) {
    for (const std::string& allowed : allowOrigins) listed = listed || allowed == origin;
  }
  if (listed) {
    answer.lines = "access-control-allow-origin: ";
    answer.lines += origin;
    answer.lines += "\r\n";
  }
  answer.lines += "Vary: Origin\r\n";
  answer.refused = !listed;
  return answer;
}

}  // namespace talvex
