#include "platform/settings.h"

namespace talvex::platform {

bool ReadMachineSettings(std::vector<std::pair<std::string, std::string>>* out) {
  out->clear();
  return false;
}

const char* MachineSettingsSource() {
  return "";
}

}  // namespace talvex::platform
