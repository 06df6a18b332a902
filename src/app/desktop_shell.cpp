#include "app/desktop_shell.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/diagnose.h"
#include "app/shell_abi.h"
#include "http/service.h"
#include "platform/dynlib.h"
#include "platform/thread.h"

namespace talvex {
namespace {

bool Named(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr) return false;
  for (; *value != '\0'; ++value) {
    if (*value != ' ' && *value != ';') return true;
  }
  return false;
}

platform::DynamicLibrary LoadShell(std::string* why) {
  std::string dir;
  if (!platform::ExecutableDirectory(&dir)) {
    *why = "the server's own folder is unknown, so its desktop shell cannot be found";
    return {};
  }
  std::string tried;
  for (const std::string& path :
       {dir + kShellLibraryName, dir + "../lib/talvex/" + kShellLibraryName}) {
    if (!platform::LibraryFileExists(path)) {
      tried += (tried.empty() ? "" : ", ") + path;
      continue;
    }
    platform::DynamicLibrary shell = platform::DynamicLibrary::LoadPath(path);
    if (!shell.IsLoaded()) {
      *why = "the desktop shell could not be loaded: " + platform::DynamicLibrary::LoadError();
    }
    return shell;
  }
  *why = "the desktop shell is not installed (looked for " + tried + ")";
  return {};
}

}  // namespace

TalvexShellHost HttpServiceShellHost(const char* programName) {
  TalvexShellHost host{};
  host.abiVersion = TALVEX_SHELL_ABI_VERSION;
  host.programName = programName;
  host.startService = [] {
    // A thread that ended by itself is cleared away before the new one.
    if (HttpServiceExitCode()) StopHttpService();
    return StartHttpService();
  };
  host.stopService = [] { StopHttpService(); };
  // A thread that ended by itself counts as none: the dialog shows the
  // service stopped.
  host.serviceThreadExists = [] {
    return HttpServiceThreadExists() && !HttpServiceExitCode() ? 1 : 0;
  };
  host.diagnosisReport = [](char* buffer, unsigned long size) -> unsigned long {
    std::string text;
    if (!diagnose::TextReport(HttpServiceConfig().port, &text)) return 0;
    if (buffer != nullptr && size > 0) {
      const std::size_t n = text.size() < size ? text.size() : size - 1;
      std::memcpy(buffer, text.data(), n);
      buffer[n] = '\0';
    }
    return static_cast<unsigned long>(text.size());
  };
  return host;
}

bool DesktopNamed() {
  return Named("QT_QPA_PLATFORM") || Named("DISPLAY") || Named("WAYLAND_DISPLAY");
}

int RunDesktopShell(const char* programName, std::string* why) {
  platform::DynamicLibrary shell = LoadShell(why);
  if (!shell.IsLoaded()) return -1;
  auto entry = reinterpret_cast<TalvexShellMainFn>(shell.Symbol(TALVEX_SHELL_ENTRY));
  if (entry == nullptr) {
    *why = std::string("the desktop shell has no entry point ") + TALVEX_SHELL_ENTRY;
    return -1;
  }
  TalvexShellHost host = HttpServiceShellHost(programName);
  // SIGINT and SIGTERM end the shell as Exit does. They are held before the
  // toolkit or the service start a thread, so that every thread leaves them
  // to the dialog's check.
  if (platform::HoldTerminationRequests()) {
    host.terminationRequested = [] { return platform::WaitForTerminationRequest(0) ? 1 : 0; };
  }
  const int code = entry(&host);
  // The toolkit keeps threads and exit handlers of its own: the library stays
  // loaded for the rest of the process.
  static std::unique_ptr<platform::DynamicLibrary> kept;
  kept = std::make_unique<platform::DynamicLibrary>(std::move(shell));
  if (code != TALVEX_SHELL_NO_DESKTOP) return code;
  StopHttpService();
  host.reason[sizeof host.reason - 1] = '\0';
  *why = host.reason;
  return -1;
}

}  // namespace talvex
