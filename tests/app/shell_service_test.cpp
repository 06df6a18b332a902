// The dialog over the real HTTP service: the port answers while the service
// runs and is free again once Stop or Exit has returned.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <cstdint>

#include "app/desktop_shell.h"
#include "app/qt/dialog.h"
#include "app/qt/service_control.h"
#include "http/service.h"

namespace talvex {
namespace {

// The port of this run: a free one, so that an installed server on 10012 or
// another test run beside this one does not matter.
std::uint16_t g_port = 0;

bool PortAnswers() {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, g_port);
  const bool connected = socket.waitForConnected(2000);
  socket.abort();
  return connected;
}

bool PortFreeToBind() {
  QTcpServer server;
  return server.listen(QHostAddress::Any, g_port);
}

// The service as the server hands it to its shell.
ServiceControl& HttpService() {
  static const TalvexShellHost host = HttpServiceShellHost("shell_service_tests");
  static HostService service(host);
  return service;
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
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::Any, 0));
    g_port = probe.serverPort();
    probe.close();
    ConfigureHttpService(ServiceConfig{g_port});
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
  ASSERT_TRUE(other.listen(QHostAddress::Any, g_port));
  CTalvexServerDlg dlg(HttpService(), WithTray());
  dlg.OnInitDialog();
  // The thread was created and ends by itself on the bind; the shell does
  // not notice.
  EXPECT_EQ(dlg.runningFlag(), 1);
  EXPECT_FALSE(dlg.button(kStartButtonId)->isEnabled());
  QTRY_VERIFY_WITH_TIMEOUT(HttpServiceExitCode().has_value(), 5000);
  EXPECT_TRUE(HttpServiceThreadExists());

  dlg.OnStop();
  EXPECT_FALSE(HttpServiceThreadExists());
  EXPECT_TRUE(dlg.button(kStartButtonId)->isEnabled());
}

}  // namespace
}  // namespace talvex
