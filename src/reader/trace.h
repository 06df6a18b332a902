// What the reader link tells the log: with verbose logging, one line per
// frame exchange and one per discovery candidate. A frame line names the
// command, the status bytes and the lengths, never a payload byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace talvex {

struct ReaderContext;

// "hid", "usb", "serial" for a selector that names one, "none" otherwise.
const char* TransportName(std::int32_t selector);
// "COM7" for serial port 7 (the number the user sees on both systems).
std::string SerialPortName(int number);

// Why a candidate was refused, or how it was taken.
inline constexpr const char* kProbeAnswered = "probe-answered";
inline constexpr const char* kProbeFailed = "probe-failed";
inline constexpr const char* kRemembered = "remembered";  // a named selector, no probe
inline constexpr const char* kDoesNotOpen = "does-not-open";

// "candidate transport=T port=P result=taken|refused reason=R[ code=N]";
// no code leaves it out. Nothing happens without verbose logging.
void LogCandidate(const char* transport, std::string_view port, bool taken, const char* reason,
                  std::optional<ResultCode> code = std::nullopt);

// Times and logs one exchange that ExchangeFrame dispatches.
class FrameTrace {
 public:
  FrameTrace(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length);
  void Done(ResultCode result);

 private:
  ReaderContext& ctx_;
  const std::uint8_t* request_;
  std::uint32_t length_;
  bool on_;
  std::int64_t startedUs_ = 0;
};

}  // namespace talvex
