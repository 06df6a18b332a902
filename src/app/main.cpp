// talvex-server: the card reading service on TCP port 10012. On a desktop it
// runs under its tray icon (the shell library, loaded only then), and
// headless otherwise or when asked with --headless.
#include <cstdio>
#include <string>

#include "app/desktop_shell.h"
#include "app/diagnose.h"
#include "app/headless.h"
#include "app/options.h"
#include "platform/log.h"
#include "platform/utf.h"

int main(int argc, char** argv) {
  const talvex::ParsedOptions parsed = talvex::ParseServerOptions(argc, argv);
  if (const int code = talvex::ReportOptionsVerdict(parsed); code >= 0) return code;
  const talvex::ServerOptions& options = parsed.options;
  talvex::platform::SetVerboseLog(options.verbose);
  if (options.browserPolicy != talvex::BrowserPolicyAction::kNone) {
    return talvex::RunBrowserPolicy(options.browserPolicy, options.service.allowOrigins, "", stdout,
                                    stderr);
  }
  if (options.diagnose) return talvex::diagnose::RunDiagnosis(options);
  talvex::WarnIfReachableFromNetwork(options);
  if (options.headless || !talvex::DesktopNamed()) return talvex::RunHeadless(options);

  talvex::ConfigureHttpService(options.service);
  std::string why;
  const int code = talvex::RunDesktopShell(argc > 0 ? argv[0] : "talvex-server", &why);
  if (code >= 0) return code;
  std::fprintf(stderr, "talvex-server: %s; running without the tray icon\n",
               talvex::EscapeForTerminal(why).c_str());
  std::fflush(stderr);
  return talvex::RunHeadless(options);
}
