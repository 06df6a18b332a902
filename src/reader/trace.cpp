#include "reader/trace.h"

#include <chrono>
#include <cstdio>

#include "platform/log.h"
#include "reader/frame.h"
#include "reader/session.h"
#include "reader/transport.h"

namespace talvex {
namespace {

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The frame in rxBuffer checks out (head, LEN, checksum): its status bytes
// and length belong to this exchange.
bool WholeResponse(const ReaderContext& ctx, std::uint32_t* len) {
  if (CheckResponseHead(ctx, len) != kOk) return false;
  std::uint8_t sum = 0;
  for (std::uint32_t i = 5; i <= 5 + *len; ++i) sum ^= ctx.rxBuffer[i];
  return sum == ctx.rxBuffer[6 + *len];
}

}  // namespace

const char* TransportName(std::int32_t selector) {
  // Serial port numbers start at 1: a selector below that names no port.
  if (selector < 1) return "none";
  return TransportKindName(TransportKindOf(selector));
}

std::string SerialPortName(int number) {
  return "COM" + std::to_string(number);
}

void LogCandidate(const char* transport, std::string_view port, bool taken, const char* reason,
                  std::optional<ResultCode> code) {
  if (!platform::LogEnabled(platform::LogLevel::kVerbose)) return;
  try {
    std::string line = "candidate transport=";
    line += transport;
    line += " port=" + platform::LogFieldValue(port);
    line += taken ? " result=taken reason=" : " result=refused reason=";
    line += reason;
    if (code) line += " code=" + std::to_string(ToNumber(*code));
    platform::WriteLog(platform::LogLevel::kVerbose, line);
  } catch (...) {
    // A line that cannot get its memory is left out.
  }
}

FrameTrace::FrameTrace(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length)
    : ctx_(ctx),
      request_(request),
      length_(length),
      on_(platform::LogEnabled(platform::LogLevel::kVerbose)) {
  if (!on_) return;
  // Whatever the buffer held before is not this exchange's answer.
  ctx_.rxBuffer[0] = 0;
  startedUs_ = NowUs();
}

void FrameTrace::Done(ResultCode result) {
  if (!on_) return;
  const std::int64_t us = NowUs() - startedUs_;
  char head[96];
  // Command and parameter only: the data bytes of a request stay out.
  if (request_ != nullptr && length_ >= 9) {
    std::snprintf(head, sizeof head, "cmd=%02x param=%02x out=%u", request_[7], request_[8],
                  static_cast<unsigned>(length_));
  } else {
    std::snprintf(head, sizeof head, "cmd=- param=- out=%u", static_cast<unsigned>(length_));
  }
  char tail[96];
  std::uint32_t len = 0;
  if (WholeResponse(ctx_, &len)) {
    std::snprintf(tail, sizeof tail, "sw=%02x:%02x:%02x in=%u data=%u", ctx_.rxBuffer[7],
                  ctx_.rxBuffer[8], ctx_.rxBuffer[9], static_cast<unsigned>(kFrameHeadSize + len),
                  static_cast<unsigned>(len - 4));
  } else {
    std::snprintf(tail, sizeof tail, "sw=- in=- data=-");
  }
  try {
    std::string line = "frame transport=";
    line += TransportName(ctx_.transport);
    line += " port=" + platform::LogFieldValue(ctx_.port);
    line += ' ';
    line += head;
    line += " code=" + std::to_string(ToNumber(result)) + ' ' + tail;
    line += " ms=" + std::to_string(us / 1000);
    platform::WriteLog(platform::LogLevel::kVerbose, line);
  } catch (...) {
    // A line that cannot get its memory is left out.
  }
}

}  // namespace talvex
