// The application object of the desktop shell: it runs the main dialog
// modally and ends the program when the dialog ends.
#pragma once

#include <QApplication>

#include "app/qt/dialog.h"

namespace talvex {

class ServiceControl;

class CTalvexServerApp : public QApplication {
  Q_OBJECT

 public:
  CTalvexServerApp(int& argc, char** argv, ServiceControl& service, DialogOptions options = {});

  // Makes the dialog, initialises it (tray icon, service start) and runs it
  // until Exit. Returns false: the program then ends instead of entering a
  // message loop of its own.
  bool InitInstance();
  // The program's exit code.
  int ExitInstance();
  // InitInstance, then ExitInstance.
  int Run();

  // Runs an initialised dialog modally until it ends and returns its result.
  // Unlike QDialog::exec() this also ends for a dialog that was never shown
  // (Exit by a termination request while the window is hidden).
  static int RunModal(CTalvexServerDlg& dialog);

 private:
  ServiceControl& service_;
  DialogOptions options_;
};

}  // namespace talvex
