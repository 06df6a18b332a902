#include "app/qt/dialog.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "app/qt/dialog_units.h"
#include "app/qt/service_control.h"

// Resources of a static library are registered by hand, outside any namespace.
static void InitShellResources() {
  Q_INIT_RESOURCE(talvex_shell);
}

namespace talvex {
namespace {

// Dialog template 102, in dialog units.
constexpr int kDialogWidth = 204;
constexpr int kDialogHeight = 53;

struct ButtonTemplate {
  int id;
  const char* text;
  int x;
};
// In tab order.
constexpr ButtonTemplate kButtons[] = {
    {kExitButtonId, "退出", 140},
    {kStartButtonId, "启动", 14},
    {kStopButtonId, "停止", 77},
};
constexpr int kButtonY = 14;
constexpr int kButtonWidth = 49;
constexpr int kButtonHeight = 21;

}  // namespace

QIcon ApplicationIcon() {
  InitShellResources();
  QIcon icon;
  for (const char* size : {"32", "48", "64", "128", "256"}) {
    icon.addFile(QStringLiteral(":/talvex/icons/talvex-%1.png").arg(QLatin1String(size)));
  }
  return icon;
}

CTalvexServerDlg::CTalvexServerDlg(ServiceControl& service, DialogOptions options, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      service_(service),
      options_(std::move(options)),
      icon_(ApplicationIcon()) {
  setWindowTitle(QString::fromUtf8(kShellCaption));
  const QFont font = DialogFont();
  setFont(font);
  const DialogBaseUnits units = BaseUnitsOf(font);

  QWidget* previous = nullptr;
  for (const ButtonTemplate& item : kButtons) {
    auto* pushButton = new QPushButton(QString::fromUtf8(item.text), this);
    pushButton->setProperty("controlId", item.id);
    pushButton->setObjectName(QStringLiteral("button%1").arg(item.id));
    pushButton->setFocusPolicy(Qt::StrongFocus);
    pushButton->setGeometry(
        DialogRectToPixels(QRect(item.x, kButtonY, kButtonWidth, kButtonHeight), units));
    if (previous != nullptr) setTabOrder(previous, pushButton);
    previous = pushButton;
    if (item.id == kExitButtonId) exitButton_ = pushButton;
    if (item.id == kStartButtonId) startButton_ = pushButton;
    if (item.id == kStopButtonId) stopButton_ = pushButton;
  }
  stopButton_->setEnabled(false);
  connect(exitButton_, &QPushButton::clicked, this, &CTalvexServerDlg::reject);
  connect(startButton_, &QPushButton::clicked, this, &CTalvexServerDlg::OnStart);
  connect(stopButton_, &QPushButton::clicked, this, &CTalvexServerDlg::OnStop);

  setFixedSize(DialogSizeToPixels(QSize(kDialogWidth, kDialogHeight), units));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    setGeometry(
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));
  }

  tray_.setIcon(icon_);
  tray_.setToolTip(QString::fromUtf8(kShellCaption));
  connect(&tray_, &QSystemTrayIcon::activated, this, &CTalvexServerDlg::OnTrayActivated);
  QAction* diagnose = trayMenu_.addAction(QString::fromUtf8("诊断…"));
  diagnose->setObjectName(QStringLiteral("diagnoseAction"));
  connect(diagnose, &QAction::triggered, this, &CTalvexServerDlg::ShowDiagnosis);
  tray_.setContextMenu(&trayMenu_);
  trayWait_.setInterval(options_.trayPollMs);
  connect(&trayWait_, &QTimer::timeout, this, &CTalvexServerDlg::CheckTray);
  terminationPoll_.setInterval(options_.terminationPollMs);
  connect(&terminationPoll_, &QTimer::timeout, this, [this] {
    if (options_.terminationRequested()) reject();
  });
  serviceWatch_.setInterval(1000);
  connect(&serviceWatch_, &QTimer::timeout, this, [this] {
    if (running_ && !service_.ThreadExists()) OnStop();
  });
}

CTalvexServerDlg::~CTalvexServerDlg() = default;

QPushButton* CTalvexServerDlg::button(int controlId) const {
  switch (controlId) {
    case kExitButtonId:
      return exitButton_;
    case kStartButtonId:
      return startButton_;
    case kStopButtonId:
      return stopButton_;
    default:
      return nullptr;
  }
}

void CTalvexServerDlg::OnInitDialog() {
  setWindowIcon(icon_);
  singleActivationOnly_ = options_.traySingleActivationOnly();
  if (options_.terminationRequested) terminationPoll_.start();
  tray_.show();
  OnStart();
  serviceWatch_.start();
  if (!options_.trayAvailable()) {
    trayWaited_ = 0;
    if (options_.trayGraceMs <= 0) {
      ShowWindow();
    } else {
      trayWait_.start();
    }
  }
}

void CTalvexServerDlg::CheckTray() {
  if (shown_ != 0 || options_.trayAvailable()) {
    trayWait_.stop();
    return;
  }
  trayWaited_ += options_.trayPollMs;
  if (trayWaited_ >= options_.trayGraceMs) {
    trayWait_.stop();
    ShowWindow();
  }
}

void CTalvexServerDlg::setVisible(bool visible) {
  // Every attempt to show the window is ignored until the user has opened
  // it from the tray icon once.
  if (visible && shown_ == 0) return;
  QDialog::setVisible(visible);
}

void CTalvexServerDlg::ShowWindow() {
  shown_ = 1;
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void CTalvexServerDlg::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  // Only a double click opens the window (the right click opens the tray
  // menu). A tray that never reports double clicks has its single
  // activation take their place.
  if (reason == QSystemTrayIcon::DoubleClick ||
      (singleActivationOnly_ && reason == QSystemTrayIcon::Trigger)) {
    ShowWindow();
  }
}

void CTalvexServerDlg::OnStart() {
  if (service_.ThreadExists()) return;
  if (service_.Start() == 0) return;
  startButton_->setEnabled(false);
  stopButton_->setEnabled(true);
  running_ = 1;
}

void CTalvexServerDlg::OnStop() {
  service_.Stop();
  startButton_->setEnabled(true);
  stopButton_->setEnabled(false);
  running_ = 0;
}

void CTalvexServerDlg::ShowDiagnosis() {
  // The report takes a few seconds (serial ports are probed).
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  const QString text = QString::fromStdString(service_.DiagnosisReport());
  QGuiApplication::restoreOverrideCursor();
  if (diagnosis_ == nullptr) {
    diagnosis_ = new QDialog(this, Qt::Window);
    diagnosis_->setObjectName(QStringLiteral("diagnosisWindow"));
    diagnosis_->setWindowTitle(QString::fromUtf8("Talvex诊断"));
    diagnosis_->setWindowIcon(icon_);
    auto* layout = new QVBoxLayout(diagnosis_);
    diagnosisText_ = new QPlainTextEdit(diagnosis_);
    diagnosisText_->setReadOnly(true);
    diagnosisText_->setLineWrapMode(QPlainTextEdit::NoWrap);
    diagnosisText_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(diagnosisText_);
    auto* row = new QHBoxLayout();
    row->addStretch();
    auto* copy = new QPushButton(QString::fromUtf8("复制"), diagnosis_);
    copy->setObjectName(QStringLiteral("copyButton"));
    auto* close = new QPushButton(QString::fromUtf8("关闭"), diagnosis_);
    row->addWidget(copy);
    row->addWidget(close);
    layout->addLayout(row);
    connect(copy, &QPushButton::clicked, diagnosis_,
            [this] { QGuiApplication::clipboard()->setText(diagnosisText_->toPlainText()); });
    connect(close, &QPushButton::clicked, diagnosis_, &QDialog::hide);
    diagnosis_->resize(760, 520);
  }
  diagnosisText_->setPlainText(text);
  diagnosis_->show();
  diagnosis_->raise();
  diagnosis_->activateWindow();
}

void CTalvexServerDlg::reject() {
  if (diagnosis_ != nullptr) diagnosis_->hide();
  if (running_ != 0) OnStop();
  trayWait_.stop();
  terminationPoll_.stop();
  tray_.hide();
  QDialog::reject();
}

void CTalvexServerDlg::accept() {
  reject();
}

void CTalvexServerDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
    // Minimising hides the window instead: it never waits on the taskbar.
    // The hide waits for the event loop so that it also wins over a show
    // that comes with the minimise (showMinimized()).
    QTimer::singleShot(0, this, &CTalvexServerDlg::HideMinimized);
  }
}

void CTalvexServerDlg::HideMinimized() {
  if (!(windowState() & Qt::WindowMinimized)) return;
  hide();
  // The next show opens the window normally, not as an icon.
  setWindowState(windowState() & ~Qt::WindowMinimized);
}

void CTalvexServerDlg::closeEvent(QCloseEvent* event) {
  event->ignore();
  reject();
}

}  // namespace talvex
