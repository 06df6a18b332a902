#include <gtest/gtest.h>

#include <QTimer>

#include "app/qt/app.h"
#include "support/fake_service.h"

namespace talvex {
namespace {

DialogOptions WithTray() {
  DialogOptions options;
  options.trayAvailable = [] { return true; };
  options.traySingleActivationOnly = [] { return false; };
  return options;
}

// The modal run ends when the dialog ends, whether or not the window was
// ever shown: a hidden dialog that could not end would keep the program
// alive after Exit (or after SIGTERM) with its service stopped.
TEST(ShellModalRun, EndsOnExitWhileTheWindowWasNeverShown) {
  test::FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  QTimer::singleShot(20, &dlg, &CTalvexServerDlg::reject);
  EXPECT_EQ(CTalvexServerApp::RunModal(dlg), QDialog::Rejected);
  EXPECT_EQ(service.stops, 1);
  EXPECT_FALSE(dlg.isVisible());
}

TEST(ShellModalRun, EndsOnExitFromTheShownWindow) {
  test::FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  QTimer::singleShot(10, &dlg,
                     [&dlg] { emit dlg.trayIcon().activated(QSystemTrayIcon::DoubleClick); });
  QTimer::singleShot(40, &dlg, [&dlg] {
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.isModal());
    dlg.close();
  });
  EXPECT_EQ(CTalvexServerApp::RunModal(dlg), QDialog::Rejected);
  EXPECT_EQ(service.stops, 1);
}

}  // namespace
}  // namespace talvex
