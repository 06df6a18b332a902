#include "platform/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

namespace talvex::platform {
namespace {

// The sink may be changed while the service thread logs; the one lock also
// keeps lines of different threads from mixing.
std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

LogSink& Sink() {
  static LogSink sink;
  return sink;
}

std::atomic<bool> g_verbose{false};

}  // namespace

void SetLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(LogMutex());
  Sink() = std::move(sink);
}

void SetVerboseLog(bool on) {
  g_verbose = on;
}

bool VerboseLog() {
  return g_verbose;
}

bool LogEnabled(LogLevel level) {
  return level == LogLevel::kRequest || VerboseLog();
}

std::string LogTimeText(std::int64_t msSinceEpoch) {
  using namespace std::chrono;
  const sys_time<milliseconds> at{milliseconds{msSinceEpoch}};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{at - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int{date.year()},
                unsigned{date.month()}, unsigned{date.day()},
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

std::string LogFieldValue(std::string_view value) {
  if (value.empty()) return "-";
  std::string out(value);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '"') c = '?';
  }
  return out;
}

void WriteLog(LogLevel level, std::string_view text) {
  if (!LogEnabled(level)) return;
  // A line that cannot get its memory is lost; the request goes on.
  try {
    const auto now =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    std::string line = LogTimeText(now.time_since_epoch().count());
    line += ' ';
    line += text;
    std::lock_guard<std::mutex> lock(LogMutex());
    if (Sink()) {
      Sink()(line);
    } else {
      WriteSystemLogLine(line);
    }
  } catch (...) {
  }
}

}  // namespace talvex::platform
