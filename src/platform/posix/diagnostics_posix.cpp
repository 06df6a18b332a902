// What Linux tells about device nodes, listening ports and folders, for the
// diagnosis. Device holders and port owners come from /proc, as far as the
// user may look; the USB device behind a node from /sys/dev/char.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "platform/diagnostics.h"
#include "platform/posix/serial_posix.h"
#include "platform/posix/unique_dir.h"
#include "platform/posix/unique_fd.h"

namespace talvex::platform {
namespace {

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  const std::unique_ptr<char, decltype(&std::free)> owned(resolved, &std::free);
  return resolved;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

OpenFailure FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenFailure::kNotFound;
    case EACCES:
    case EPERM:
      return OpenFailure::kPermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return OpenFailure::kBusy;
    default:
      return OpenFailure::kOther;
  }
}

bool UserInGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::unique_ptr<gid_t[]> groups(new gid_t[static_cast<std::size_t>(count)]);
  const int got = getgroups(count, groups.get());
  for (int i = 0; i < got; ++i) {
    if (groups[i] == gid) return true;
  }
  return false;
}

std::string GroupName(gid_t gid) {
  char buffer[4096];
  group entry;
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return std::to_string(gid);
  }
  return found->gr_name;
}

std::string ProcessName(int pid) {
  return FirstLine("/proc/" + std::to_string(pid) + "/comm");
}

// Every process whose descriptors (as far as we may read them) point at
// `target`, a resolved path or "socket:[inode]".
std::vector<ProcessRef> ProcessesWithDescriptor(const std::string& target) {
  std::vector<ProcessRef> found;
  const posix::UniqueDir proc(::opendir("/proc"));
  if (!proc) return found;
  while (const dirent* entry = ::readdir(proc.get())) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
    const posix::UniqueDir fds(::opendir(fdDir.c_str()));
    if (!fds) continue;  // another user's process: not ours to see
    bool holds = false;
    while (const dirent* fd = ::readdir(fds.get())) {
      if (fd->d_name[0] == '.') continue;
      char link[4096];
      const std::string fdPath = fdDir + "/" + fd->d_name;
      const ssize_t n = ::readlink(fdPath.c_str(), link, sizeof link - 1);
      if (n <= 0) continue;
      if (target.compare(0, std::string::npos, link, static_cast<std::size_t>(n)) == 0) {
        holds = true;
        break;
      }
    }
    if (holds)
      found.push_back(ProcessRef{static_cast<int>(pid), ProcessName(static_cast<int>(pid))});
  }
  return found;
}

// The inode of a socket listening on `port` in /proc/net/tcp or tcp6; 0
// when there is none.
unsigned long ListeningInode(const char* table, std::uint16_t port) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    char local[128];
    char remote[128];
    unsigned state = 0;
    unsigned long inode = 0;
    // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line.c_str(), " %*s %127s %127s %x %*s %*s %*s %*u %*u %lu", local, remote,
                    &state, &inode) != 4) {
      continue;
    }
    const std::string address(local);
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos) continue;
    const unsigned long localPort = std::strtoul(address.c_str() + colon + 1, nullptr, 16);
    if (state == 0x0A && localPort == port) return inode;  // TCP_LISTEN
  }
  return 0;
}

}  // namespace

OpenFailure CheckDeviceOpens(const std::string& path) {
  const posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return FromErrno(errno);
  // The lock the service takes; released with the descriptor. Nothing else
  // (no TIOCEXCL, no line settings) is touched.
  OpenFailure result = OpenFailure::kNone;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) result = FromErrno(errno);
  return result;
}

DeviceNodeInfo DescribeDeviceNode(const std::string& path) {
  DeviceNodeInfo info;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return info;
  info.exists = true;
  info.resolved = RealPath(path);
  info.mode = st.st_mode & 07777;
  info.group = GroupName(st.st_gid);
  info.userInGroup = UserInGroup(st.st_gid);
  if (!S_ISCHR(st.st_mode)) return info;
  // The USB device is the nearest directory above the node's sysfs device
  // that has idVendor.
  std::string dir = RealPath("/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev)));
  for (int level = 0; level < 8 && dir.size() > 1; ++level) {
    const std::string vendor = FirstLine(dir + "/idVendor");
    if (!vendor.empty()) {
      info.onUsb = true;
      info.usbVendor = static_cast<std::uint16_t>(std::strtoul(vendor.c_str(), nullptr, 16));
      info.usbProduct = static_cast<std::uint16_t>(
          std::strtoul(FirstLine(dir + "/idProduct").c_str(), nullptr, 16));
      info.usbManufacturer = FirstLine(dir + "/manufacturer");
      info.usbProductName = FirstLine(dir + "/product");
      break;
    }
    dir = dir.substr(0, dir.find_last_of('/'));
  }
  return info;
}

// The processes that hold a lock on the file (/proc/locks: "1: FLOCK
// ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF", device numbers in hex).
static std::vector<ProcessRef> LockHolders(const struct stat& file) {
  std::vector<ProcessRef> found;
  std::ifstream in("/proc/locks");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not a holder
    int pid = 0;
    unsigned devMajor = 0;
    unsigned devMinor = 0;
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %*s %d %x:%x:%lu", &pid, &devMajor, &devMinor,
                    &inode) != 4) {
      continue;
    }
    if (devMajor == major(file.st_dev) && devMinor == minor(file.st_dev) && inode == file.st_ino &&
        pid > 0) {
      found.push_back(ProcessRef{pid, ProcessName(pid)});
    }
  }
  return found;
}

std::vector<ProcessRef> ProcessesUsingFile(const std::string& path) {
  const std::string resolved = RealPath(path);
  if (resolved.empty()) return {};
  // The lock's holder is the one that keeps others out; without a lock,
  // whoever has the file open.
  struct stat st {};
  if (::stat(resolved.c_str(), &st) == 0) {
    std::vector<ProcessRef> holders = LockHolders(st);
    if (!holders.empty()) return holders;
  }
  return ProcessesWithDescriptor(resolved);
}

std::string SerialPortDevicePath(int number) {
  return posix::SerialPortPath(number);
}

PortUse ListeningPortUse(std::uint16_t port, ProcessRef* holder) {
  unsigned long inode = ListeningInode("/proc/net/tcp", port);
  if (inode == 0) inode = ListeningInode("/proc/net/tcp6", port);
  if (inode == 0) {
    if (::access("/proc/net/tcp", R_OK) != 0) return PortUse::kUnknown;
    return PortUse::kFree;
  }
  const std::vector<ProcessRef> owners =
      ProcessesWithDescriptor("socket:[" + std::to_string(inode) + "]");
  if (!owners.empty()) *holder = owners.front();
  return PortUse::kHeld;
}

FolderInfo DescribeFolder(const std::string& path) {
  FolderInfo info;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return info;
  info.exists = true;
  info.mode = st.st_mode & 07777;
  info.modeKnown = true;
  info.ownedByUser = st.st_uid == getuid();
  info.writable = ::access(path.c_str(), W_OK | X_OK) == 0;
  struct statvfs vfs {};
  if (::statvfs(path.c_str(), &vfs) == 0) {
    info.freeBytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    info.freeKnown = true;
  }
  return info;
}

bool FileExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::string CurrentUserName() {
  char buffer[4096];
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  const char* user = std::getenv("USER");
  return user != nullptr ? user : "";
}

}  // namespace talvex::platform
