// What Windows tells about devices, ports and folders, for the diagnosis. A
// device that another program has open without sharing is "in use"; Windows
// does not say by whom, so no holders are named. The owner of a listening
// port comes from the TCP table with its process ids.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cwchar>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/win32/serial_win32.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

OpenFailure FromError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return OpenFailure::kNotFound;
    case ERROR_ACCESS_DENIED:
      return OpenFailure::kPermissionDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return OpenFailure::kBusy;
    default:
      return OpenFailure::kOther;
  }
}

std::string ProcessName(DWORD pid) {
  const win32::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::string();
  wchar_t path[MAX_PATH];
  DWORD size = MAX_PATH;
  std::string name;
  if (QueryFullProcessImageNameW(process.get(), 0, path, &size)) {
    std::wstring_view full(path, size);
    const std::size_t slash = full.find_last_of(L"\\/");
    name = win32::Utf8FromWide(slash == std::wstring_view::npos ? full : full.substr(slash + 1));
  }
  return name;
}

// Whether a process listens on `port` in one of the TCP tables, and which.
template <typename Table, typename Row>
bool ListenerIn(ULONG family, std::uint16_t port, bool* known, DWORD* pid) {
  ULONG size = 0;
  GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0) !=
      NO_ERROR) {
    return false;
  }
  *known = true;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const Row& row = table->table[i];
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port) {
      *pid = row.dwOwningPid;
      return true;
    }
  }
  return false;
}

}  // namespace

OpenFailure CheckDeviceOpens(const std::string& path) {
  const std::wstring wide = win32::WideFromUtf8(path);
  if (wide.empty()) return OpenFailure::kNotFound;
  const win32::UniqueHandle h(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!h) return FromError(GetLastError());
  return OpenFailure::kNone;
}

DeviceNodeInfo DescribeDeviceNode(const std::string& path) {
  DeviceNodeInfo info;
  // "\\.\COMn": present when the system maps the name to a device.
  constexpr char kDevicePrefix[] = "\\\\.\\";
  if (path.rfind(kDevicePrefix, 0) == 0) {
    const std::wstring name = win32::WideFromUtf8(path.substr(sizeof kDevicePrefix - 1));
    wchar_t target[512];
    info.exists = QueryDosDeviceW(name.c_str(), target, 512) != 0;
    return info;
  }
  info.exists = true;  // a device interface the enumeration named
  info.userInGroup = true;
  return info;
}

std::vector<ProcessRef> ProcessesUsingFile(const std::string&) {
  return {};
}

std::string SerialPortDevicePath(int number) {
  if (number < 1) return std::string();
  return win32::Utf8FromWide(win32::SerialPortName(number));
}

PortUse ListeningPortUse(std::uint16_t port, ProcessRef* holder) {
  bool known = false;
  DWORD pid = 0;
  if (!ListenerIn<MIB_TCPTABLE_OWNER_PID, MIB_TCPROW_OWNER_PID>(AF_INET, port, &known, &pid) &&
      !ListenerIn<MIB_TCP6TABLE_OWNER_PID, MIB_TCP6ROW_OWNER_PID>(AF_INET6, port, &known, &pid)) {
    return known ? PortUse::kFree : PortUse::kUnknown;
  }
  holder->pid = static_cast<int>(pid);
  holder->name = ProcessName(pid);
  return PortUse::kHeld;
}

FolderInfo DescribeFolder(const std::string& path) {
  FolderInfo info;
  const std::wstring wide = win32::WideFromUtf8(path);
  if (wide.empty()) return info;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return info;
  }
  info.exists = true;
  info.ownedByUser = true;
  info.writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  ULARGE_INTEGER available;
  if (GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) {
    info.freeBytes = available.QuadPart;
    info.freeKnown = true;
  }
  return info;
}

bool FileExists(const std::string& path) {
  const std::wstring wide = win32::WideFromUtf8(path);
  return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string CurrentUserName() {
  wchar_t name[257];
  DWORD size = 257;
  if (!GetUserNameW(name, &size) || size == 0) return std::string();
  return win32::Utf8FromWide(std::wstring_view(name, size - 1));
}

}  // namespace talvex::platform
