// talvex-server: the card reading service on TCP port 10012. With the desktop
// shell built in, it runs under its tray icon when a desktop is there, and
// headless otherwise (or when asked with --headless).
#include "app/headless.h"

#if TALVEX_HAVE_QT_SHELL
#include "app/qt/shell.h"
#endif

int main(int argc, char** argv) {
#if TALVEX_HAVE_QT_SHELL
  return talvex::RunDesktopShell(argc, argv, talvex::RunHeadless);
#else
  return talvex::RunHeadless(argc, argv);
#endif
}
