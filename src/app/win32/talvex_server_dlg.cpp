#include "app/win32/talvex_server_dlg.h"

#include <shellapi.h>

#include <cwchar>

#include "app/win32/resource.h"
#include "http/service.h"

namespace talvex {
namespace {

constexpr wchar_t kTip[] = L"Talvex服务端";

NOTIFYICONDATAW TrayRecord(HWND owner) {
  NOTIFYICONDATAW data;
  ZeroMemory(&data, sizeof data);
  data.cbSize = sizeof data;
  data.hWnd = owner;
  data.uID = kTrayIconId;
  return data;
}

}  // namespace

CTalvexServerDlg::CTalvexServerDlg(HINSTANCE instance)
    : instance_(instance), icon_(LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

INT_PTR CTalvexServerDlg::DoModal() {
  return DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_TALVEXSERVER_DIALOG), nullptr,
                         &CTalvexServerDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CTalvexServerDlg::DialogProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CTalvexServerDlg*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CTalvexServerDlg*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) {
    // Messages before WM_INITDIALOG: the window is being created. The hidden
    // start applies to them too.
    if (message == WM_WINDOWPOSCHANGING)
      reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
    return FALSE;
  }
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR CTalvexServerDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      if (!IsIconic(window_)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_WINDOWPOSCHANGING:
      OnWindowPosChanging(reinterpret_cast<WINDOWPOS*>(lParam));
      return FALSE;  // the default handling goes on
    case kTrayCallbackMessage:
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, OnTrayNotify(wParam, lParam));
      return TRUE;
    case WM_SYSCOMMAND:
      return OnSysCommand(wParam) ? TRUE : FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BUTTON_START:
          OnStart();
          return TRUE;
        case IDC_BUTTON_STOP:
          OnStop();
          return TRUE;
        case IDCANCEL:  // the button, the Esc key and the close box
        case IDOK:      // Enter with no button focused: ends the dialog, cleanly
          OnCancel();
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

BOOL CTalvexServerDlg::OnInitDialog() {
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  NOTIFYICONDATAW tray = TrayRecord(window_);
  tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  tray.uCallbackMessage = kTrayCallbackMessage;
  tray.hIcon = icon_;
  wcsncpy(tray.szTip, kTip, sizeof tray.szTip / sizeof tray.szTip[0] - 1);
  // Not checked: without a notification area the service runs all the same.
  trayAdded_ = Shell_NotifyIconW(NIM_ADD, &tray) != 0;

  OnStart();
  return TRUE;
}

void CTalvexServerDlg::OnStart() {
  if (HttpServiceThreadExists()) return;
  if (StartHttpService() == 0) return;
  SetButtons(true);
  running_ = 1;
}

void CTalvexServerDlg::OnStop() {
  StopHttpService();
  SetButtons(false);
  running_ = 0;
}

void CTalvexServerDlg::OnCancel() {
  if (running_) OnStop();
  DeleteTrayIcon();
  EndDialog(window_, IDCANCEL);
}

void CTalvexServerDlg::SetButtons(bool running) {
  EnableWindow(GetDlgItem(window_, IDC_BUTTON_START), running ? FALSE : TRUE);
  EnableWindow(GetDlgItem(window_, IDC_BUTTON_STOP), running ? TRUE : FALSE);
}

void CTalvexServerDlg::DeleteTrayIcon() {
  NOTIFYICONDATAW tray = TrayRecord(window_);
  Shell_NotifyIconW(NIM_DELETE, &tray);
  trayAdded_ = false;
}

void CTalvexServerDlg::OnWindowPosChanging(WINDOWPOS* position) {
  if (shown_ == 0) position->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
}

LRESULT CTalvexServerDlg::OnTrayNotify(WPARAM iconId, LPARAM mouseMessage) {
  if (iconId == kTrayIconId && static_cast<UINT>(mouseMessage) == WM_LBUTTONDBLCLK) {
    shown_ = 1;
    ShowWindow(window_, SW_SHOW);
  }
  return 0;
}

bool CTalvexServerDlg::OnSysCommand(WPARAM command) {
  if (command != SC_MINIMIZE) return false;  // compared exactly
  ShowWindow(window_, SW_HIDE);
  return true;
}

void CTalvexServerDlg::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(window_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(window_, &paint);
}

}  // namespace talvex
