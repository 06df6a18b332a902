// The log on Windows: %LOCALAPPDATA%\Talvex\talvex.log, which a user can
// find and send whatever started the server, and stderr for a console that
// started it headless. The file is opened for each line (shared, appending),
// so several processes may write it and nothing stays open; a file that
// would grow past kLogFileCap becomes talvex.log.1 first, replacing the one
// kept before.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/log.h"
#include "platform/win32/unique_handle.h"

namespace talvex::platform {
namespace {

std::wstring LogFolder() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::wstring();
  return std::wstring(buffer, n) + L"\\Talvex";
}

HANDLE OpenForAppend(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_APPEND_DATA,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void AppendToFile(const std::string& bytes) {
  const std::wstring folder = LogFolder();
  if (folder.empty()) return;
  CreateDirectoryW(folder.c_str(), nullptr);  // there already, most of the time
  const std::wstring path = folder + L"\\talvex.log";
  win32::UniqueHandle file(OpenForAppend(path));
  if (!file) return;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
      static_cast<std::uint64_t>(size.QuadPart) + bytes.size() > kLogFileCap) {
    file.reset(INVALID_HANDLE_VALUE);
    MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    file.reset(OpenForAppend(path));
    if (!file) return;
  }
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void WriteSystemLogLine(std::string_view line) {
  std::string whole(line);
  whole += "\r\n";
  AppendToFile(whole);
  std::fwrite(whole.data(), 1, whole.size() - 2, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace talvex::platform
