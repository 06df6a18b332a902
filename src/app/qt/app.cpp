#include "app/qt/app.h"

#include <QEventLoop>
#include <memory>

namespace talvex {

CTalvexServerApp::CTalvexServerApp(int& argc, char** argv, ServiceControl& service,
                                   DialogOptions options)
    : QApplication(argc, argv), service_(service), options_(std::move(options)) {
  setApplicationName(QStringLiteral("talvex-server"));
  setApplicationDisplayName(QString::fromUtf8(kShellCaption));
  setDesktopFileName(QStringLiteral("talvex-server"));
  setWindowIcon(ApplicationIcon());
  // Hiding the only window (minimise) must never end the program; only the
  // dialog's end does.
  setQuitOnLastWindowClosed(false);
}

bool CTalvexServerApp::InitInstance() {
  auto dialog = std::make_unique<CTalvexServerDlg>(service_, options_);
  dialog->OnInitDialog();
  RunModal(*dialog);
  dialog.reset();
  return false;
}

int CTalvexServerApp::RunModal(CTalvexServerDlg& dialog) {
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.show();  // ignored until the window is opened from the tray
  QEventLoop loop;
  QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::DialogExec);
  return dialog.result();
}

int CTalvexServerApp::ExitInstance() {
  // The reader vendor's library has no part in the Linux build, so there is
  // nothing to tell it at exit.
  return 0;
}

int CTalvexServerApp::Run() {
  InitInstance();
  return ExitInstance();
}

}  // namespace talvex
