// TalvexServer.exe: the card reading service under its tray icon, or with
// --headless without any window; the other options as talvex-server has them.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "app/diagnose.h"
#include "app/headless.h"
#include "app/win32/talvex_server_app.h"
#include "platform/log.h"
#include "platform/utf.h"
#include "platform/win32/sdtapi_win32.h"

namespace {

talvex::CTalvexServerApp theApp;

// A windowed program has no console: borrow the one it was started from, so
// that the headless server's messages are seen there.
void UseParentConsole() {
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  FILE* ignored = nullptr;
  freopen_s(&ignored, "CONOUT$", "w", stdout);
  freopen_s(&ignored, "CONOUT$", "w", stderr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; wide != nullptr && i < argc; ++i)
    args.push_back(
        talvex::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide[i]))));
  if (wide != nullptr) LocalFree(wide);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  const talvex::ParsedOptions parsed =
      talvex::ParseServerOptions(static_cast<int>(args.size()), argv.data());
  talvex::platform::SetVerboseLog(parsed.options.verbose);
  const bool policy = parsed.options.browserPolicy != talvex::BrowserPolicyAction::kNone;
  if (parsed.verdict != talvex::OptionsVerdict::kRun || parsed.options.headless ||
      parsed.options.diagnose || policy) {
    UseParentConsole();
    int code = talvex::ReportOptionsVerdict(parsed);
    if (code < 0 && policy) {
      code = talvex::RunBrowserPolicy(parsed.options.browserPolicy,
                                      parsed.options.service.allowOrigins, "", stdout, stderr);
    } else if (code < 0 && parsed.options.diagnose) {
      code = talvex::diagnose::RunDiagnosis(parsed.options);
    } else if (code < 0) {
      talvex::WarnIfReachableFromNetwork(parsed.options);
      code = talvex::RunHeadless(parsed.options);
      talvex::platform::win32::CallVendorExit();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
  }
  talvex::ConfigureHttpService(parsed.options.service);
  return theApp.Run(instance);
}
