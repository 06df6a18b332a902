// What the parts of the diagnosis share: the words for processes and
// numbers, and the files the fixes name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/diagnostics.h"

namespace talvex::diagnose {

inline constexpr char kVersion[] = "1.0.0";
// Where the package puts the rules ("/lib" and "/usr/lib" are one folder on
// a merged-/usr system, but not everywhere), and where a site adds its own.
inline constexpr char kRulesFile[] = "/lib/udev/rules.d/70-talvex-reader.rules";
inline constexpr char kUsrRulesFile[] = "/usr/lib/udev/rules.d/70-talvex-reader.rules";
inline constexpr char kLocalRulesFile[] = "/etc/udev/rules.d/70-talvex-reader-local.rules";

// A Talvex server (this one's name on either system).
bool IsTalvex(const platform::ProcessRef& process);
// Held, and only by Talvex servers.
bool AllTalvex(const std::vector<platform::ProcessRef>& holders);
// "name (pid N), ..."
std::string HoldersText(const std::vector<platform::ProcessRef>& holders);
std::string Hex4(std::uint16_t value);
std::string Octal(unsigned mode);

}  // namespace talvex::diagnose
