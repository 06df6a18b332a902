// Settings a site rolls out to every machine, outside any file of ours: on
// Windows the values of HKEY_LOCAL_MACHINE\Software\Talvex that the installer
// writes (port, listen, allow-origin); Linux has none (its file is
// /etc/talvex/talvex.conf).
#pragma once

#include <cstddef>
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

// The site's settings file when no TALVEX_CONFIG names another: on Linux
// /etc/talvex/talvex.conf, on Windows talvex.conf beside the program.
std::string DefaultSettingsFile();

// The largest settings file taken; a settings file is a few lines.
inline constexpr std::size_t kMaxSettingsFileBytes = 1 << 20;

// The whole text of a settings file. False with *missing set when there is
// no such file; false with *missing clear and *why the reason ("is not a
// regular file", "is larger than 1 MiB", "cannot be read: ...") when it is
// not taken. A FIFO or device is refused without waiting for a writer;
// /dev/null reads as an empty file.
bool ReadSettingsFile(const std::string& path, std::string* text, bool* missing, std::string* why);

}  // namespace talvex::platform
