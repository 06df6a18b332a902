#include "platform/settings.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/unique_fd.h"

namespace talvex::platform {

bool ReadMachineSettings(std::vector<std::pair<std::string, std::string>>* out) {
  out->clear();
  return false;
}

const char* MachineSettingsSource() {
  return "";
}

std::string DefaultSettingsFile() {
  return "/etc/talvex/talvex.conf";
}

bool ReadSettingsFile(const std::string& path, std::string* text, bool* missing) {
  text->clear();
  *missing = false;
  const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    *missing = errno == ENOENT || errno == ENOTDIR;
    return false;
  }
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    // A settings file is a few lines; anything huge is not one.
    if (text->size() + static_cast<std::size_t>(n) > 1 << 20) {
      ok = false;
      break;
    }
    text->append(buffer, static_cast<std::size_t>(n));
  }
  return ok;
}

}  // namespace talvex::platform
