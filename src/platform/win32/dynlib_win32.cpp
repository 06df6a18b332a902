// Run-time libraries on Windows: LoadLibraryExW, looked up beside the
// executable first, then in the system's safe search folders (the
// application folder, System32 and folders added with AddDllDirectory),
// never the current directory or PATH.
#include <windows.h>

#include <string>
#include <utility>

#include "platform/dynlib.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

// A missing or broken library must fail quietly, not with a system dialog.
class QuietErrors {
 public:
  QuietErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &saved_); }
  ~QuietErrors() { SetThreadErrorMode(saved_, nullptr); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  DWORD saved_ = 0;
};

}  // namespace

std::string SharedLibraryFileName(const char* baseName) {
  return std::string(baseName) + ".dll";
}

bool ExecutableDirectory(std::string* out) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return false;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return false;
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return false;
  *out = win32::Utf8FromWide(std::wstring_view(path).substr(0, slash + 1));
  return true;
}

const char* LibrarySearchExtra() {
  return "";
}

std::vector<std::string> LibrarySearchFolders() {
  // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS: the application folder, System32 and
  // folders added with AddDllDirectory (which this program adds none of).
  std::vector<std::string> folders;
  std::string dir;
  if (ExecutableDirectory(&dir)) folders.push_back(dir);
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n > 0 && n < MAX_PATH) folders.push_back(win32::Utf8FromWide(std::wstring_view(system, n)));
  return folders;
}

namespace {
thread_local std::string t_loadError;

HMODULE Remember(HMODULE module) {
  if (module == nullptr) t_loadError = "error " + std::to_string(GetLastError());
  return module;
}
}  // namespace

bool LibraryFileExists(const std::string& path) {
  const std::wstring wide = win32::WideFromUtf8(path);
  return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string DynamicLibrary::LoadError() {
  return t_loadError;
}

DynamicLibrary DynamicLibrary::LoadPath(const std::string& path) {
  const std::wstring wide = win32::WideFromUtf8(path);
  if (wide.empty()) return DynamicLibrary();
  // A relative path would be taken from the current directory.
  const bool absolute =
      (wide.size() > 2 && wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/')) ||
      (wide.size() > 1 && wide[0] == L'\\' && wide[1] == L'\\');
  if (!absolute) return DynamicLibrary();
  QuietErrors quiet;
  // The library's own dependencies come from its folder and the safe default
  // folders, not from the current directory or PATH.
  return DynamicLibrary(Remember(LoadLibraryExW(
      wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)));
}

DynamicLibrary DynamicLibrary::Load(const char* fileName) {
  const std::string name(fileName);
  if (name.empty() || name.find_first_of("/\\:") != std::string::npos) return DynamicLibrary();
  std::string dir;
  if (ExecutableDirectory(&dir)) {
    DynamicLibrary beside = LoadPath(dir + name);
    if (beside.IsLoaded()) return beside;
  }
  const std::wstring wide = win32::WideFromUtf8(name);
  QuietErrors quiet;
  return DynamicLibrary(
      Remember(LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)));
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string DynamicLibrary::FilePath() const {
  if (handle_ == nullptr) return std::string();
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(handle_), path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return win32::Utf8FromWide(std::wstring_view(path, n));
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(std::exchange(handle_, nullptr)));
}

}  // namespace talvex::platform
