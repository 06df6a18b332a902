// The service's log: one line per answered request, and with --verbose one
// per frame exchange and per discovery candidate. Lines never carry card
// data: a frame line names the command, status bytes and lengths only.
// Any thread may write; each line goes out whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace talvex::platform {

enum class LogLevel {
  kRequest,  // always written
  kVerbose,  // only with verbose logging on
};

// Receives each line without its line end. Null: the system's log.
using LogSink = std::function<void(std::string_view line)>;

// Replaces where lines go (tests); null puts the system's log back.
void SetLogSink(LogSink sink);
void SetVerboseLog(bool on);
bool VerboseLog();
// Whether a line of this level would be written, so that callers build
// verbose lines only when they are wanted.
bool LogEnabled(LogLevel level);

// Writes "<time> <text>" as one line, the time as UTC with milliseconds
// (2024-03-05T08:09:07.123Z).
void WriteLog(LogLevel level, std::string_view text);

// The UTC time text of `msSinceEpoch`, as the lines begin with it.
std::string LogTimeText(std::int64_t msSinceEpoch);

// A value as a log field takes it: blanks, control bytes, '"' and
// everything beyond ASCII become '?', so that a field never splits and a
// line never breaks; an empty value becomes "-".
std::string LogFieldValue(std::string_view value);

// The system's log (backend): stderr on Linux, which the systemd unit sends
// to the journal; on Windows %LOCALAPPDATA%\Talvex\talvex.log (UTF-8),
// kept under kLogFileCap bytes by moving a full file to talvex.log.1 (the
// one kept before it is dropped), and stderr as well. Called with a lock
// held.
void WriteSystemLogLine(std::string_view line);

inline constexpr std::uint64_t kLogFileCap = 1024 * 1024;

}  // namespace talvex::platform
