// The fault specs of the simulator's command line: "CMD:KIND[:VALUE][:COUNT]".
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "reader-sim/engine.h"

namespace talvex::sim {
namespace {

constexpr const char* kFaultNames[kFaultKindCount] = {
    "status", "text-length", "photo-length", "len", "checksum", "stray", "short", "silence",
};

bool ParseNumber(std::string_view text, std::uint32_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint32_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *value = v;
  return true;
}

// A fault spec cut at every colon; empty parts are kept.
std::vector<std::string_view> SplitAtColons(std::string_view spec) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t colon = spec.find(':', start);
    parts.push_back(spec.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return parts;
}

std::optional<FaultKind> FaultKindNamed(std::string_view name) {
  for (std::size_t i = 0; i < kFaultKindCount; ++i) {
    if (name == kFaultNames[i]) return static_cast<FaultKind>(i);
  }
  return std::nullopt;
}

// The kinds whose fault means nothing without a value.
bool FaultNeedsValue(FaultKind kind) {
  return kind == FaultKind::Status || kind == FaultKind::TextLength ||
         kind == FaultKind::PhotoLength || kind == FaultKind::BadLen;
}

// The value of a fault whose spec gives none.
std::uint32_t DefaultFaultValue(FaultKind kind) {
  return kind == FaultKind::BadLen ? 3 : (kind == FaultKind::BadChecksum ? 1 : 0);
}

// The largest value a fault takes: a byte, a frame's LEN or a 16-bit field.
std::uint32_t FaultValueLimit(FaultKind kind) {
  if (kind == FaultKind::Status || kind == FaultKind::StrayByte || kind == FaultKind::BadChecksum) {
    return 0xFF;
  }
  return kind == FaultKind::ShortBody ? kMaxFrameLen : 0xFFFF;
}

// The VALUE part of a fault spec; false, with *why set, when it is no
// number or too large for the kind.
bool ParseFaultValue(FaultKind kind, std::string_view text, std::uint32_t* value,
                     std::string* why) {
  std::uint32_t v = 0;
  if (!ParseNumber(text, &v)) {
    *why = "bad value \"" + std::string(text) + "\"";
    return false;
  }
  const std::uint32_t limit = FaultValueLimit(kind);
  if (v > limit) {
    *why = "value " + std::to_string(v) + " out of range (at most " + std::to_string(limit) + ")";
    return false;
  }
  *value = v;
  return true;
}

// The COUNT part of a fault spec: a positive number of answers, or "always".
bool ParseFaultCount(std::string_view text, int* count, std::string* why) {
  if (text == "always") {
    *count = kPersistent;
    return true;
  }
  std::uint32_t n = 0;
  if (!ParseNumber(text, &n) || n == 0 || n > 1000000000u) {
    *why = "bad count \"" + std::string(text) + "\" (a positive number or always)";
    return false;
  }
  *count = static_cast<int>(n);
  return true;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  return kFaultNames[static_cast<std::size_t>(kind)];
}

bool ParseFaultSpec(std::string_view spec, Command* command, Fault* fault, std::string* error) {
  const std::vector<std::string_view> parts = SplitAtColons(spec);
  auto fail = [&](const std::string& why) {
    *error = "fault \"" + std::string(spec) + "\": " + why;
    return false;
  };
  if (parts.size() < 2 || parts.size() > 4) {
    return fail("expected COMMAND:KIND[:VALUE][:COUNT]");
  }
  Command cmd;
  if (!ParseCommandName(parts[0], &cmd)) {
    return fail("unknown command \"" + std::string(parts[0]) +
                "\" (startup, probe, find, select, read)");
  }
  const std::optional<FaultKind> kind = FaultKindNamed(parts[1]);
  if (!kind) {
    return fail("unknown fault \"" + std::string(parts[1]) +
                "\" (status, text-length, photo-length, len, checksum, stray, short, silence)");
  }
  Fault f;
  f.kind = *kind;
  f.value = DefaultFaultValue(*kind);
  // Every kind but silence takes a value in the third part (empty for the
  // default); the count comes after it. Silence has its count third.
  const bool takesValue = *kind != FaultKind::Silence;
  if (!takesValue && parts.size() > 3) return fail("silence takes no value");
  const bool hasValue = takesValue && parts.size() >= 3 && !parts[2].empty();
  if (FaultNeedsValue(*kind) && !hasValue) {
    return fail(std::string("fault \"") + kFaultNames[static_cast<std::size_t>(*kind)] +
                "\" needs a value");
  }
  std::string why;
  if (hasValue && !ParseFaultValue(*kind, parts[2], &f.value, &why)) return fail(why);
  const std::size_t countAt = takesValue ? 3 : 2;
  if (countAt < parts.size() && !ParseFaultCount(parts[countAt], &f.count, &why)) return fail(why);
  *command = cmd;
  *fault = f;
  return true;
}

}  // namespace talvex::sim
