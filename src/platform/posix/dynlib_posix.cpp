#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "platform/dynlib.h"

namespace talvex::platform {

std::string SharedLibraryFileName(const char* baseName) {
  return std::string("lib") + baseName + ".so";
}

bool ExecutableDirectory(std::string* out) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
  std::string path(buffer, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  *out = path.substr(0, slash + 1);
  return true;
}

namespace {

// Gives back a handle from dlopen; the one place a library is unloaded.
void Unload(void* handle) {
  if (handle != nullptr) dlclose(handle);
}

}  // namespace

const char* LibrarySearchExtra() {
  return "the ld.so cache";
}

std::vector<std::string> LibrarySearchFolders() {
  std::vector<std::string> folders;
  const std::unique_ptr<void, decltype(&Unload)> owned(dlopen(nullptr, RTLD_LAZY), &Unload);
  void* const self = owned.get();
  if (self == nullptr) return folders;
  Dl_serinfo size;
  if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
    std::vector<unsigned char> buffer(size.dls_size);
    auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
    info->dls_size = size.dls_size;
    info->dls_cnt = size.dls_cnt;
    if (dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
      for (unsigned i = 0; i < info->dls_cnt; ++i) folders.push_back(info->dls_serpath[i].dls_name);
    }
  }
  return folders;
}

namespace {
thread_local std::string t_loadError;
}  // namespace

bool LibraryFileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

DynamicLibrary DynamicLibrary::LoadPath(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    t_loadError = error != nullptr ? error : "unknown error";
  }
  return DynamicLibrary(handle);
}

std::string DynamicLibrary::LoadError() {
  return t_loadError;
}

DynamicLibrary DynamicLibrary::Load(const char* fileName) {
  std::string name(fileName);
  // A name with a slash would make dlopen take it as a path, relative ones
  // from the current directory; only plain file names are searched for.
  if (name.empty() || name.find('/') != std::string::npos) return DynamicLibrary();
  std::string dir;
  if (ExecutableDirectory(&dir)) {
    DynamicLibrary beside = LoadPath(dir + name);
    if (beside.IsLoaded()) return beside;
  }
  return LoadPath(name);
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string DynamicLibrary::FilePath() const {
  link_map* map = nullptr;
  if (handle_ == nullptr || dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      map->l_name == nullptr) {
    return std::string();
  }
  return map->l_name;
}

void DynamicLibrary::Close() {
  Unload(std::exchange(handle_, nullptr));
}

}  // namespace talvex::platform
