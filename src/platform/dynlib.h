// Shared libraries loaded at run time (the photo decoder library).
#pragma once

#include <string>
#include <vector>

// The calling convention of the reader vendor's exported functions: __stdcall
// on 32-bit Windows, the platform's default everywhere else.
#if defined(_WIN32) && !defined(_WIN64)
#define TALVEX_VENDOR_CALL __stdcall
#else
#define TALVEX_VENDOR_CALL
#endif

namespace talvex::platform {

// The file name of a library called `baseName` on this system: "libWltRS.so"
// for "WltRS" on Linux, "WltRS.dll" on Windows.
std::string SharedLibraryFileName(const char* baseName);

// The folder of the running executable with a trailing separator (UTF-8);
// false when the system does not tell.
bool ExecutableDirectory(std::string* out);

// The folders the system's ordinary library search goes through for this
// program, in order (Linux: its run-path, LD_LIBRARY_PATH and the default
// folders; the ld.so cache is looked at too but names no folder). For the
// diagnosis.
std::vector<std::string> LibrarySearchFolders();
// What the system's search reads besides those folders, in words ("the ld.so
// cache" on Linux), or "" when nothing.
const char* LibrarySearchExtra();

// Whether a file (a library to load) exists at `path` (UTF-8).
bool LibraryFileExists(const std::string& path);

// One loaded library, unloaded when the object goes.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `fileName` from the executable's own folder first, then through the
  // system's ordinary library search (never the current directory). Check
  // IsLoaded() for the outcome.
  static DynamicLibrary Load(const char* fileName);
  // Loads exactly the library at `path` (UTF-8); no search.
  static DynamicLibrary LoadPath(const std::string& path);

  // Why the last Load or LoadPath on this thread failed, as the system says.
  static std::string LoadError();

  bool IsLoaded() const { return handle_ != nullptr; }
  // The address of an exported symbol; null when not loaded or not exported.
  void* Symbol(const char* name) const;
  // The file the library was loaded from (UTF-8); "" when not loaded or when
  // the system does not tell.
  std::string FilePath() const;
  void Close();

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
};

}  // namespace talvex::platform
