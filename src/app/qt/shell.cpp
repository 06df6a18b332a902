#include "app/qt/shell.h"

#include <QGuiApplication>
#include <memory>

#include "app/qt/app.h"
#include "app/qt/service_control.h"
#include "app/qt/shell_mode.h"
#include "platform/thread.h"

namespace talvex {

int RunDesktopShell(int argc, char** argv, HeadlessEntry headless) {
  const ShellMode mode = ChooseShellMode(CurrentShellEnvironment(argc, argv));
  if (!mode.desktop) return headless(argc, argv);

  // Qt tries the plugins in order and aborts the program when none starts;
  // the fallback plugin at the end of the list always starts, and tells us
  // that there is no desktop to show.
  qputenv("QT_QPA_PLATFORM", mode.platforms.toLocal8Bit());
  // SIGINT and SIGTERM end the shell as Exit does (service stopped, tray
  // icon removed). They are held before Qt or the service start a thread,
  // so that every thread leaves them to the dialog's check.
  DialogOptions options;
  if (platform::HoldTerminationRequests()) {
    options.terminationRequested = [] { return platform::WaitForTerminationRequest(0) != nullptr; };
  }
  int qtArgc = argc;
  auto app = std::make_unique<CTalvexServerApp>(qtArgc, argv, HttpService(), options);
  if (mode.headlessOnFallback &&
      QGuiApplication::platformName() == QLatin1String(kFallbackPlatform)) {
    app.reset();
    return headless(argc, argv);
  }
  return app->Run();
}

}  // namespace talvex
