// The main dialog: three buttons (Exit, Start, Stop) and the tray icon. It
// stays hidden from creation until the user double-clicks the tray icon,
// starts the service as soon as it is initialised, and ends (stopping the
// service first) through Exit, the Esc key or the close box.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>

#include "app/qt/tray_kind.h"

class QPlainTextEdit;
class QPushButton;

namespace talvex {

class ServiceControl;

// Control ids of the dialog's buttons, kept as the buttons' "controlId"
// property.
inline constexpr int kExitButtonId = 2;
inline constexpr int kStartButtonId = 1000;
inline constexpr int kStopButtonId = 1001;

inline constexpr char kShellCaption[] = "Talvex服务端";

struct DialogOptions {
  // Whether the desktop has a notification area. Without one nobody could
  // open the window, so it is shown at start instead.
  std::function<bool()> trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  // A panel started at the same login as the shell may offer its
  // notification area a moment later: the tray is looked for this long
  // before the window is shown instead.
  int trayGraceMs = 3000;
  // Whether the tray reports clicks as single activations only (a
  // StatusNotifierItem host): there a click opens the window, since a double
  // click never arrives.
  std::function<bool()> traySingleActivationOnly = [] { return TrayUsesStatusNotifier(); };
  // Whether the program was asked to end (SIGINT, SIGTERM: Ctrl-C in a
  // terminal, the session ending); looked at every terminationPollMs, and
  // answered as Exit. Empty: never asked.
  std::function<bool()> terminationRequested;
  int terminationPollMs = 200;
  int trayPollMs = 250;
};

class CTalvexServerDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CTalvexServerDlg(ServiceControl& service, DialogOptions options = {},
                            QWidget* parent = nullptr);
  ~CTalvexServerDlg() override;

  // Adds the tray icon and starts the service; call once, before the dialog
  // runs.
  void OnInitDialog();

  int runningFlag() const { return running_; }
  int shownFlag() const { return shown_; }
  QSystemTrayIcon& trayIcon() { return tray_; }
  QPushButton* button(int controlId) const;
  const QIcon& icon() const { return icon_; }
  // The window of the last diagnosis; null before the first.
  QDialog* diagnosisWindow() const { return diagnosis_; }

  void setVisible(bool visible) override;

 public slots:
  void OnStart();
  void OnStop();
  // The tray menu's "诊断…": the server's diagnosis report in a read-only
  // window with a button that copies it to the clipboard.
  void ShowDiagnosis();
  // Exit: button "退出", the Esc key and the close box.
  void reject() override;
  // Enter on a dialog without a default button ends the dialog as Exit does,
  // so the program never ends with the service still running.
  void accept() override;

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
  void ShowWindow();
  void CheckTray();
  void HideMinimized();

  ServiceControl& service_;
  DialogOptions options_;
  QIcon icon_;
  int running_ = 0;
  int shown_ = 0;
  QPushButton* exitButton_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QSystemTrayIcon tray_;
  QMenu trayMenu_;
  QDialog* diagnosis_ = nullptr;
  QPlainTextEdit* diagnosisText_ = nullptr;
  QTimer trayWait_;
  bool singleActivationOnly_ = false;
  QTimer terminationPoll_;
  QTimer serviceWatch_;  // a service that ended by itself shows as stopped
  int trayWaited_ = 0;
};

// The application icon from the program's resources (32 x 32 in 256
// colours, with larger sizes beside it).
QIcon ApplicationIcon();

}  // namespace talvex
