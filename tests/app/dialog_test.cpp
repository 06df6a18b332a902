#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include "app/qt/dialog.h"
#include "app/qt/dialog_units.h"
#include "support/fake_service.h"

namespace talvex {
namespace {

using test::FakeService;

DialogOptions WithTray() {
  DialogOptions options;
  options.trayAvailable = [] { return true; };
  options.traySingleActivationOnly = [] { return false; };
  return options;
}

DialogOptions WithoutTray(int graceMs, int pollMs = 10) {
  DialogOptions options = WithTray();
  options.trayAvailable = [] { return false; };
  options.trayGraceMs = graceMs;
  options.trayPollMs = pollMs;
  return options;
}

struct ButtonState {
  bool start;
  bool stop;
  int running;
};

ButtonState StateOf(const CTalvexServerDlg& dlg) {
  return {dlg.button(kStartButtonId)->isEnabled(), dlg.button(kStopButtonId)->isEnabled(),
          dlg.runningFlag()};
}

void ExpectRunning(const CTalvexServerDlg& dlg) {
  const ButtonState s = StateOf(dlg);
  EXPECT_FALSE(s.start);
  EXPECT_TRUE(s.stop);
  EXPECT_EQ(s.running, 1);
}

void ExpectStopped(const CTalvexServerDlg& dlg) {
  const ButtonState s = StateOf(dlg);
  EXPECT_TRUE(s.start);
  EXPECT_FALSE(s.stop);
  EXPECT_EQ(s.running, 0);
}

void DoubleClickTray(CTalvexServerDlg& dlg) {
  emit dlg.trayIcon().activated(QSystemTrayIcon::DoubleClick);
}

// --- Start-up -------------------------------------------------------------

TEST(ShellStartup, ServiceRunsAndWindowStaysHidden) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  ExpectStopped(dlg);  // the template's state before initialisation
  dlg.OnInitDialog();
  EXPECT_EQ(service.starts, 1);
  ExpectRunning(dlg);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.shownFlag(), 0);
  EXPECT_TRUE(dlg.trayIcon().isVisible());
  EXPECT_EQ(dlg.trayIcon().toolTip(), QString::fromUtf8("Talvex服务端"));
  EXPECT_FALSE(dlg.trayIcon().icon().isNull());
}

TEST(ShellStartup, ShowingBeforeTheTrayOpensItIsIgnored) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  dlg.show();
  dlg.showNormal();
  dlg.setVisible(true);
  QCoreApplication::processEvents();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.shownFlag(), 0);
}

TEST(ShellStartup, FailedStartShowsNothingAndLeavesButtons) {
  FakeService service;
  service.startResult = 0;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  EXPECT_EQ(service.starts, 1);
  ExpectStopped(dlg);
  EXPECT_FALSE(dlg.isVisible());

  // The window offers Start again, which now works.
  DoubleClickTray(dlg);
  service.startResult = 1;
  QTest::mouseClick(dlg.button(kStartButtonId), Qt::LeftButton);
  EXPECT_EQ(service.starts, 2);
  ExpectRunning(dlg);
}

TEST(ShellStartup, ExistingServiceThreadIsNotStartedTwice) {
  FakeService service;
  service.threadExists = true;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  EXPECT_EQ(service.starts, 0);
  ExpectStopped(dlg);
}

// --- Start and Stop -------------------------------------------------------

TEST(ShellButtons, StopThenStartSwapsTheButtonsEachTime) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  DoubleClickTray(dlg);

  QTest::mouseClick(dlg.button(kStopButtonId), Qt::LeftButton);
  EXPECT_EQ(service.stops, 1);
  EXPECT_FALSE(service.threadExists);
  ExpectStopped(dlg);

  QTest::mouseClick(dlg.button(kStartButtonId), Qt::LeftButton);
  EXPECT_EQ(service.starts, 2);
  ExpectRunning(dlg);

  QTest::mouseClick(dlg.button(kStopButtonId), Qt::LeftButton);
  EXPECT_EQ(service.stops, 2);
  ExpectStopped(dlg);
}

TEST(ShellButtons, StopAfterTheThreadEndedByItselfStillResetsTheButtons) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  // The thread ended on its own (port taken): the handle still exists, the
  // shell does not notice and stays in the running state.
  ExpectRunning(dlg);
  dlg.OnStop();
  EXPECT_EQ(service.stops, 1);
  ExpectStopped(dlg);
}

// --- Exit -----------------------------------------------------------------

class ShellExit : public ::testing::Test {
 protected:
  void SetUp() override {
    dlg_ = std::make_unique<CTalvexServerDlg>(service_, WithTray());
    dlg_->OnInitDialog();
    DoubleClickTray(*dlg_);
    ASSERT_TRUE(dlg_->isVisible());
  }

  void ExpectEnded(int stops) {
    EXPECT_EQ(service_.stops, stops);
    EXPECT_FALSE(service_.threadExists);
    EXPECT_EQ(dlg_->runningFlag(), 0);
    EXPECT_FALSE(dlg_->trayIcon().isVisible());
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_EQ(dlg_->result(), QDialog::Rejected);
  }

  FakeService service_;
  std::unique_ptr<CTalvexServerDlg> dlg_;
};

TEST_F(ShellExit, ExitButtonStopsTheRunningService) {
  QSignalSpy rejected(dlg_.get(), &QDialog::rejected);
  QTest::mouseClick(dlg_->button(kExitButtonId), Qt::LeftButton);
  ExpectEnded(1);
  EXPECT_EQ(rejected.count(), 1);
}

TEST_F(ShellExit, TheServiceIsStoppedBeforeTheTrayIconGoesAndTheDialogEnds) {
  bool trayDuringStop = false;
  bool dialogEndedDuringStop = true;
  service_.onStop = [&] {
    trayDuringStop = dlg_->trayIcon().isVisible();
    dialogEndedDuringStop = !dlg_->isVisible();
  };
  QTest::mouseClick(dlg_->button(kExitButtonId), Qt::LeftButton);
  ExpectEnded(1);
  EXPECT_TRUE(trayDuringStop);
  EXPECT_FALSE(dialogEndedDuringStop);
}

TEST_F(ShellExit, ExitWhileStoppedDoesNotStopAgain) {
  QTest::mouseClick(dlg_->button(kStopButtonId), Qt::LeftButton);
  QTest::mouseClick(dlg_->button(kExitButtonId), Qt::LeftButton);
  ExpectEnded(1);
}

TEST_F(ShellExit, EscapeKeyIsExit) {
  QTest::keyClick(dlg_.get(), Qt::Key_Escape);
  ExpectEnded(1);
}

TEST_F(ShellExit, CloseBoxIsExit) {
  dlg_->close();
  ExpectEnded(1);
}

TEST_F(ShellExit, EnterWithoutDefaultButtonIsExitNotAQuietEnd) {
  dlg_->accept();
  ExpectEnded(1);
}

TEST(ShellTermination, TerminationRequestIsExitEvenWhileHidden) {
  FakeService service;
  bool requested = false;
  DialogOptions options = WithTray();
  options.terminationRequested = [&requested] { return requested; };
  options.terminationPollMs = 10;
  CTalvexServerDlg dlg(service, options);
  dlg.OnInitDialog();
  QTest::qWait(50);
  EXPECT_EQ(service.stops, 0);  // nothing asked yet
  requested = true;
  QTRY_COMPARE_WITH_TIMEOUT(service.stops, 1, 5000);
  EXPECT_FALSE(dlg.trayIcon().isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
}

TEST_F(ShellExit, ExitWorksFromTheHiddenWindowToo) {
  dlg_->showMinimized();
  QCoreApplication::processEvents();
  ASSERT_FALSE(dlg_->isVisible());
  dlg_->reject();
  ExpectEnded(1);
}

// --- Tray icon and window visibility ----------------------------------------

TEST(ShellTray, DoubleClickShowsTheWindowCentred) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  DoubleClickTray(dlg);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.shownFlag(), 1);
  ExpectRunning(dlg);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(std::abs(dlg.geometry().center().x() - screen.center().x()), 1);
  EXPECT_LE(std::abs(dlg.geometry().center().y() - screen.center().y()), 1);
}

TEST(ShellTray, SingleRightAndMiddleClicksDoNothing) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context,
                      QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
    emit dlg.trayIcon().activated(reason);
  }
  QCoreApplication::processEvents();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.shownFlag(), 0);
  // The right click opens the tray menu, whose one entry is the diagnosis.
  ASSERT_NE(dlg.trayIcon().contextMenu(), nullptr);
  EXPECT_EQ(dlg.trayIcon().contextMenu()->actions().size(), 1);
}

TEST(ShellTray, StatusNotifierTrayOpensOnItsSingleActivation) {
  FakeService service;
  DialogOptions options = WithTray();
  options.traySingleActivationOnly = [] { return true; };
  CTalvexServerDlg dlg(service, options);
  dlg.OnInitDialog();
  emit dlg.trayIcon().activated(QSystemTrayIcon::Context);
  emit dlg.trayIcon().activated(QSystemTrayIcon::MiddleClick);
  EXPECT_FALSE(dlg.isVisible());
  emit dlg.trayIcon().activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.shownFlag(), 1);
}

TEST(ShellTray, MinimiseHidesAndDoubleClickShowsAgain) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  DoubleClickTray(dlg);
  ASSERT_TRUE(dlg.isVisible());

  dlg.setWindowState(dlg.windowState() | Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_FALSE(dlg.isMinimized());
  EXPECT_EQ(dlg.shownFlag(), 1);
  // Hiding is not Exit: the service keeps running.
  EXPECT_EQ(service.stops, 0);
  ExpectRunning(dlg);

  DoubleClickTray(dlg);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.isMinimized());
}

TEST(ShellTray, AfterTheFirstOpeningShowsAreNoLongerStripped) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  DoubleClickTray(dlg);
  dlg.hide();
  dlg.show();
  EXPECT_TRUE(dlg.isVisible());
}

// --- A desktop without a notification area ----------------------------------

TEST(ShellNoTray, WindowIsShownAtStartWhenNoTrayAppears) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithoutTray(0));
  dlg.OnInitDialog();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.shownFlag(), 1);
  ExpectRunning(dlg);
  // The user can stop the service from it.
  QTest::mouseClick(dlg.button(kStopButtonId), Qt::LeftButton);
  EXPECT_EQ(service.stops, 1);
}

TEST(ShellNoTray, WindowAppearsAfterTheGraceTime) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithoutTray(100));
  dlg.OnInitDialog();
  EXPECT_FALSE(dlg.isVisible());
  QTRY_VERIFY_WITH_TIMEOUT(dlg.isVisible(), 5000);
  EXPECT_EQ(dlg.shownFlag(), 1);
}

TEST(ShellNoTray, TrayArrivingDuringTheGraceTimeKeepsTheWindowHidden) {
  FakeService service;
  bool available = false;
  DialogOptions options = WithoutTray(200);
  options.trayAvailable = [&available] { return available; };
  CTalvexServerDlg dlg(service, options);
  dlg.OnInitDialog();
  available = true;
  QTest::qWait(400);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.shownFlag(), 0);
}

// --- Layout ---------------------------------------------------------------

TEST(ShellLayout, ButtonsIdsTextsAndTabOrder) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  struct Expected {
    int id;
    const char* text;
  } expected[] = {{2, "退出"}, {1000, "启动"}, {1001, "停止"}};
  for (const Expected& e : expected) {
    QPushButton* b = dlg.button(e.id);
    ASSERT_NE(b, nullptr) << e.id;
    EXPECT_EQ(b->text(), QString::fromUtf8(e.text)) << e.id;
    EXPECT_EQ(b->property("controlId").toInt(), e.id);
  }
  EXPECT_EQ(dlg.button(1), nullptr);  // no OK button
  QPushButton* exitButton = dlg.button(2);
  EXPECT_EQ(exitButton->nextInFocusChain(), dlg.button(1000));
  EXPECT_EQ(dlg.button(1000)->nextInFocusChain(), dlg.button(1001));
  EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8("Talvex服务端"));
}

TEST(ShellLayout, GeometryInDialogUnitsOfTheDialogFont) {
  FakeService service;
  CTalvexServerDlg dlg(service, WithTray());
  const DialogBaseUnits u = BaseUnitsOf(dlg.font());
  ASSERT_GT(u.cx, 0);
  ASSERT_GT(u.cy, 0);
  EXPECT_EQ(dlg.size(), DialogSizeToPixels(QSize(204, 53), u));
  EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());  // not resizable
  EXPECT_EQ(dlg.button(2)->geometry(), DialogRectToPixels(QRect(140, 14, 49, 21), u));
  EXPECT_EQ(dlg.button(1000)->geometry(), DialogRectToPixels(QRect(14, 14, 49, 21), u));
  EXPECT_EQ(dlg.button(1001)->geometry(), DialogRectToPixels(QRect(77, 14, 49, 21), u));
  // The buttons sit inside the dialog.
  for (int id : {2, 1000, 1001}) {
    EXPECT_TRUE(dlg.rect().contains(dlg.button(id)->geometry())) << id;
  }
}

TEST(ShellDiagnosis, TheTrayMenuShowsTheReportReadOnlyAndCopiesIt) {
  FakeService service;
  service.diagnosis = "Verdict: ready: a reader answered";
  CTalvexServerDlg dlg(service, WithTray());
  dlg.OnInitDialog();
  ASSERT_NE(dlg.trayIcon().contextMenu(), nullptr);
  auto* action = dlg.trayIcon().contextMenu()->findChild<QAction*>("diagnoseAction");
  ASSERT_NE(action, nullptr);
  action->trigger();

  QDialog* window = dlg.diagnosisWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(dlg.isVisible());  // the main window stays hidden
  auto* text = window->findChild<QPlainTextEdit*>();
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->isReadOnly());
  EXPECT_EQ(text->toPlainText().toStdString(), service.diagnosis);
  QGuiApplication::clipboard()->clear();
  QTest::mouseClick(window->findChild<QPushButton*>("copyButton"), Qt::LeftButton);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), service.diagnosis);
  dlg.reject();
  EXPECT_FALSE(window->isVisible());
}

}  // namespace
}  // namespace talvex
