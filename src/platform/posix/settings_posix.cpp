#include "platform/settings.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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

namespace {

bool IsNullDevice(const struct stat& st) {
  struct stat null;
  return S_ISCHR(st.st_mode) && stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
         null.st_rdev == st.st_rdev;
}

}  // namespace

bool ReadSettingsFile(const std::string& path, std::string* text, bool* missing, std::string* why) {
  text->clear();
  *missing = false;
  // O_NONBLOCK: a FIFO named as the file must not hold the start-up until
  // something writes to it. It is refused below either way.
  const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    *missing = errno == ENOENT || errno == ENOTDIR;
    *why = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    *why = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (IsNullDevice(st)) return true;  // the way to say "no settings"
  if (!S_ISREG(st.st_mode)) {
    *why = S_ISDIR(st.st_mode) ? "is a folder, not a settings file"
                               : "is not a regular file (a pipe, socket or device)";
    return false;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    if (text->size() + static_cast<std::size_t>(n) > kMaxSettingsFileBytes) {
      *why = "is larger than 1 MiB; a settings file is a few lines";
      text->clear();
      return false;
    }
    text->append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace talvex::platform
