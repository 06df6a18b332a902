// TalvexServer.exe: the card reading service under its tray icon, or with
// --headless (and the other options of talvex-server) without any window.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "app/headless.h"
#include "app/win32/talvex_server_app.h"
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
  if (wide != nullptr && argc > 1) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
      args.push_back(
          talvex::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide[i]))));
    LocalFree(wide);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    UseParentConsole();
    const int code = talvex::RunHeadless(argc, argv.data());
    talvex::platform::win32::CallVendorExit();
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
  }
  if (wide != nullptr) LocalFree(wide);
  return theApp.Run(instance);
}
