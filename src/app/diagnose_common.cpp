#include "app/diagnose_common.h"

#include <cstdio>
#include <string_view>

namespace talvex::diagnose {

bool IsTalvex(const platform::ProcessRef& process) {
  const std::string_view name = process.name;
  return name.starts_with("talvex-server") || name.starts_with("TalvexServer");
}

bool AllTalvex(const std::vector<platform::ProcessRef>& holders) {
  if (holders.empty()) return false;
  for (const platform::ProcessRef& p : holders) {
    if (!IsTalvex(p)) return false;
  }
  return true;
}

std::string HoldersText(const std::vector<platform::ProcessRef>& holders) {
  std::string text;
  for (const platform::ProcessRef& p : holders) {
    if (!text.empty()) text += ", ";
    text +=
        (p.name.empty() ? std::string("process") : p.name) + " (pid " + std::to_string(p.pid) + ")";
  }
  return text;
}

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
  return text;
}

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

}  // namespace talvex::diagnose
