#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/fs.h"
#include "platform/posix/unique_dir.h"
#include "platform/posix/unique_fd.h"
#include "platform/utf.h"

namespace talvex::platform {
namespace {

bool IsAbsolute(const char* path) {
  return path != nullptr && path[0] == '/';
}

std::string WithoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// A real directory of ours that nobody else may enter.
bool IsPrivateDirectory(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

// Removes a folder of ours with the files in it.
void RemoveFolder(const std::string& path) {
  if (const posix::UniqueDir dir(opendir(path.c_str())); dir) {
    while (const dirent* entry = readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") unlinkat(dirfd(dir.get()), entry->d_name, 0);
    }
  }
  rmdir(path.c_str());
}

// The folder of this process when the user has no runtime folder: made with
// mkdtemp under ${TMPDIR:-/tmp}, so that no other user can make it first or
// guess its name, and removed with what is left in it when the process ends.
class FallbackFolder {
 public:
  FallbackFolder() = default;
  ~FallbackFolder() { Forget(); }
  FallbackFolder(const FallbackFolder&) = delete;
  FallbackFolder& operator=(const FallbackFolder&) = delete;

  // The folder under `parent`, made when there is none yet (or it is gone);
  // empty when it cannot be made.
  std::string Get(const std::string& parent) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (parent != parent_ || !IsPrivateDirectory(path_)) {
      Forget();
      std::string pattern = parent + "/talvex-" + std::to_string(getuid()) + ".XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) return std::string();
      parent_ = parent;
      path_ = std::move(pattern);
    }
    return path_;
  }

 private:
  void Forget() {
    if (!path_.empty() && IsPrivateDirectory(path_)) RemoveFolder(path_);
    path_.clear();
    parent_.clear();
  }

  std::mutex mutex_;
  std::string parent_;
  std::string path_;
};

FallbackFolder& Fallback() {
  static FallbackFolder folder;
  return folder;
}

std::string FallbackParent() {
  const char* tmp = getenv("TMPDIR");
  return WithoutTrailingSlashes(IsAbsolute(tmp) ? tmp : "/tmp");
}

// The folder that holds ours: $XDG_RUNTIME_DIR/talvex, else this process's
// folder under ${TMPDIR:-/tmp} (empty when it cannot be made).
std::string PrivateFolderPath() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (IsAbsolute(runtime)) return WithoutTrailingSlashes(runtime) + "/talvex";
  return Fallback().Get(FallbackParent());
}

// The path in the file system's form; empty when it has none or when the
// memory for it cannot be had (the open then fails like any other).
std::string NativePath(const char16_t* path) {
  try {
    return Utf16ToUtf8(std::u16string_view(path));
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

int OpenRegular(const char16_t* path, int flags) {
  if (path == nullptr) return -1;
  const std::string utf8 = NativePath(path);
  if (utf8.empty()) return -1;
  // O_NONBLOCK keeps a planted FIFO from blocking the open; it is cleared below.
  posix::UniqueFd fd(::open(utf8.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
  if (!fd) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      fcntl(fd.get(), F_SETFL, flags & O_ACCMODE) != 0) {
    return -1;
  }
  return fd.release();
}

}  // namespace

std::string TempDirectoryPath() {
  const std::string path = PrivateFolderPath();
  if (path.empty()) return FallbackParent() + "/talvex-" + std::to_string(getuid()) + ".XXXXXX/";
  return path + '/';
}

bool GetTempDirectory(std::u16string* out) {
  std::string path = PrivateFolderPath();
  if (path.empty()) return false;
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  if (!IsPrivateDirectory(path)) return false;
  path += '/';
  std::u16string wide = Utf8ToUtf16(path);
  if (Utf16ToUtf8(wide) != path) return false;  // not valid UTF-8: no usable UTF-16 form
  *out = std::move(wide);
  return true;
}

bool RemoveFile(const char16_t* path) {
  const std::string utf8 = NativePath(path);
  if (utf8.empty()) return false;
  return ::unlink(utf8.c_str()) == 0 || errno == ENOENT;
}

std::size_t PathToAnsi(const char16_t* path, char* out, std::size_t capacity) {
  if (path == nullptr || out == nullptr) return 0;
  return Utf16zToUtf8(path, out, capacity);
}

File File::CreateForWriting(const char16_t* path) {
  // Lock before emptying, so that a file another writer holds is left alone.
  File file(OpenRegular(path, O_WRONLY | O_CREAT));
  if (!file.IsOpen()) return file;
  if (flock(file.fd_, LOCK_EX | LOCK_NB) != 0 || ftruncate(file.fd_, 0) != 0 ||
      fchmod(file.fd_, 0600) != 0)
    file.Close();
  return file;
}

File File::OpenForReading(const char16_t* path) {
  File file(OpenRegular(path, O_RDONLY));
  if (file.IsOpen() && flock(file.fd_, LOCK_SH | LOCK_NB) != 0) file.Close();
  return file;
}

bool File::Write(const void* data, std::size_t size, std::size_t* written) {
  *written = 0;
  if (fd_ < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (*written < size) {
    const ssize_t n = ::write(fd_, p + *written, size - *written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *written += static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Read(void* data, std::size_t size, std::size_t* got) {
  *got = 0;
  if (fd_ < 0) return false;
  char* p = static_cast<char*>(data);
  while (*got < size) {
    const ssize_t n = ::read(fd_, p + *got, size - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

void File::Close() {
  // The descriptor's owner closes it, which also releases the lock.
  posix::UniqueFd(std::exchange(fd_, -1)).reset();
}

}  // namespace talvex::platform
