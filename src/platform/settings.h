// Settings a site rolls out to every machine, outside any file of ours: on
// Windows the values of HKEY_LOCAL_MACHINE\Software\Talvex that the installer
// writes (port, listen, allow-origin); Linux has none (its file is
// /etc/talvex/talvex.conf).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace talvex::platform {

// The settings as (name, value) pairs in UTF-8, in the system's order. Only
// text values are taken. False (and *out empty) when there are none or they
// cannot be read.
bool ReadMachineSettings(std::vector<std::pair<std::string, std::string>>* out);

// Where they come from, for messages ("HKLM\Software\Talvex"); empty on Linux.
const char* MachineSettingsSource();

}  // namespace talvex::platform
