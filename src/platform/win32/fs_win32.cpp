// Files on Windows. The temporary folder is GetTempPathW's (per user, under
// the user's profile, which only the user and administrators may enter).
// Photo files are opened without following reparse points (symbolic links
// and junctions), and without sharing while they are written.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <utility>

#include "platform/fs.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

// Wraps a file handle in a C runtime descriptor, which the File object holds
// and which owns the handle from then on.
int DescriptorFor(win32::UniqueHandle handle, int flags) {
  if (!handle) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags | _O_BINARY);
  if (fd < 0) return -1;
  static_cast<void>(handle.release());  // closed with the descriptor now
  return fd;
}

// A regular disk file, not a directory, device or reparse point.
bool IsRegularFile(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

win32::UniqueHandle OpenRegular(const char16_t* path, DWORD access, DWORD share,
                                DWORD disposition) {
  if (path == nullptr || path[0] == u'\0') return win32::UniqueHandle();
  win32::UniqueHandle h(CreateFileW(win32::Wide(path), access, share, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (h && !IsRegularFile(h.get())) h.reset();
  return h;
}

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

std::string TempDirectoryPath() {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH + 1) return std::string();
  std::wstring path(buffer, n);
  if (path.back() != L'\\') path += L'\\';
  return win32::Utf8FromWide(path);
}

bool GetTempDirectory(std::u16string* out) {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH + 1) return false;
  std::wstring path(buffer, n);
  if (path.back() != L'\\') path += L'\\';
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return false;
  *out = win32::Utf16FromWide(path);
  return true;
}

bool RemoveFile(const char16_t* path) {
  if (DeleteFileW(win32::Wide(path))) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::size_t PathToAnsi(const char16_t* path, char* out, std::size_t capacity) {
  // The system's code page may be UTF-8 ("Use Unicode UTF-8 for worldwide
  // language support"); ToCodePage takes that into account.
  return win32::ToCodePage(GetACP(), path, out, capacity);
}

File File::CreateForWriting(const char16_t* path) {
  // OPEN_ALWAYS and then emptying: a file another writer holds unshared fails
  // the open and is left alone.
  win32::UniqueHandle h = OpenRegular(path, GENERIC_WRITE, 0, OPEN_ALWAYS);
  if (h) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h.get(), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h.get())) h.reset();
  }
  return File(DescriptorFor(std::move(h), _O_WRONLY));
}

File File::OpenForReading(const char16_t* path) {
  return File(
      DescriptorFor(OpenRegular(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), _O_RDONLY));
}

bool File::Write(const void* data, std::size_t size, std::size_t* written) {
  *written = 0;
  if (fd_ < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (*written < size) {
    const std::size_t left = size - *written;
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!WriteFile(HandleOf(fd_), p + *written, chunk, &n, nullptr)) return false;
    if (n == 0) break;
    *written += n;
  }
  return true;
}

bool File::Read(void* data, std::size_t size, std::size_t* got) {
  *got = 0;
  if (fd_ < 0) return false;
  char* p = static_cast<char*>(data);
  while (*got < size) {
    const std::size_t left = size - *got;
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!ReadFile(HandleOf(fd_), p + *got, chunk, &n, nullptr)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

void File::Close() {
  if (fd_ >= 0) _close(std::exchange(fd_, -1));  // closes the file handle too
}

}  // namespace talvex::platform
