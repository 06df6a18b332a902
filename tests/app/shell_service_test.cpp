// The dialog over the real HTTP service: the port answers while the service
// runs and is free again once Stop or Exit has returned.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "app/qt/dialog.h"
#include "app/qt/service_control.h"
#include "http/service.h"

namespace talvex {
namespace {

bool PortAnswers() {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, kServicePort);
  const bool connected = socket.waitForConnected(2000);
  socket.abort();
  return connected;
}

bool PortFreeToBind() {
  QTcpServer server;
  return server.listen(QHostAddress::Any, kServicePort);
}

DialogOptions WithTray() {
  DialogOptions options;
  options.trayAvailable = [] { return true; };
  options.traySingleActivationOnly = [] { return false; };
  return options;
}

class ShellWithRealService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(HttpServiceThreadExists());
    // Within one test run the port is locked for us; a program outside it
    // (another build's tests, a running server) makes these checks moot.
    if (!PortFreeToBind()) GTEST_SKIP() << "port 10012 is held by another program";
  }
  void TearDown() override { StopHttpService(); }
};

TEST_F(ShellWithRealService, ExitWhileRunningStopsTheServiceAndFreesThePort) {
  CTalvexServerDlg dlg(HttpService(), WithTray());
  dlg.OnInitDialog();
  ASSERT_EQ(dlg.runningFlag(), 1);
  EXPECT_TRUE(HttpServiceThreadExists());
  QTRY_VERIFY_WITH_TIMEOUT(PortAnswers(), 5000);

  emit dlg.trayIcon().activated(QSystemTrayIcon::DoubleClick);
  QTest::mouseClick(dlg.button(kExitButtonId), Qt::LeftButton);
  // Exit returns only after the service thread has ended.
  EXPECT_FALSE(HttpServiceThreadExists());
  EXPECT_FALSE(PortAnswers());
  EXPECT_TRUE(PortFreeToBind());
}

TEST_F(ShellWithRealService, StopThenStartListensAgain) {
  CTalvexServerDlg dlg(HttpService(), WithTray());
  dlg.OnInitDialog();
  emit dlg.trayIcon().activated(QSystemTrayIcon::DoubleClick);
  QTRY_VERIFY_WITH_TIMEOUT(PortAnswers(), 5000);

  QTest::mouseClick(dlg.button(kStopButtonId), Qt::LeftButton);
  EXPECT_FALSE(HttpServiceThreadExists());
  EXPECT_FALSE(PortAnswers());

  QTest::mouseClick(dlg.button(kStartButtonId), Qt::LeftButton);
  EXPECT_EQ(dlg.runningFlag(), 1);
  QTRY_VERIFY_WITH_TIMEOUT(PortAnswers(), 5000);
  dlg.reject();
  EXPECT_FALSE(HttpServiceThreadExists());
}

TEST_F(ShellWithRealService, TakenPortLeavesTheButtonsRunningUntilStop) {
  QTcpServer other;
  ASSERT_TRUE(other.listen(QHostAddress::Any, kServicePort));
  CTalvexServerDlg dlg(HttpService(), WithTray());
  dlg.OnInitDialog();
  // The thread was created and ends by itself on the bind; the shell does
  // not notice.
  EXPECT_EQ(dlg.runningFlag(), 1);
  EXPECT_FALSE(dlg.button(kStartButtonId)->isEnabled());
  QTRY_VERIFY_WITH_TIMEOUT(HttpServiceExitCode() != -1, 5000);
  EXPECT_TRUE(HttpServiceThreadExists());

  dlg.OnStop();
  EXPECT_FALSE(HttpServiceThreadExists());
  EXPECT_TRUE(dlg.button(kStartButtonId)->isEnabled());
}

}  // namespace
}  // namespace talvex
