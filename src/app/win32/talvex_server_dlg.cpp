#include "app/win32/talvex_server_dlg.h"

#include <shellapi.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "app/diagnose.h"
#include "app/win32/resource.h"
#include "http/service.h"
#include "platform/win32/win32_text.h"

namespace talvex {
namespace {

constexpr wchar_t kTip[] = L"Talvex服务端";

constexpr UINT kDiagnoseCommand = 40001;  // the tray menu's one entry
// How often the dialog looks whether the service thread ended by itself.
constexpr UINT_PTR kServiceWatchTimer = 1;
constexpr UINT kServiceWatchMs = 1000;
constexpr int kDiagnosisTextId = 100;
constexpr int kDiagnosisCopyId = 101;
constexpr int kDiagnosisCloseId = 102;
constexpr wchar_t kDiagnosisClass[] = L"TalvexDiagnosisWindow";

// The report's lines end in CR LF for the edit control.
std::wstring ForEditControl(const std::string& utf8) {
  std::wstring text;
  for (const wchar_t c : platform::win32::WideFromUtf8(utf8)) {
    if (c == L'\n') text += L'\r';
    text += c;
  }
  return text;
}

void CopyToClipboard(HWND owner, const std::wstring& text) {
  if (!OpenClipboard(owner)) return;
  EmptyClipboard();
  const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* p = GlobalLock(memory)) {
      std::memcpy(p, text.c_str(), bytes);
      GlobalUnlock(memory);
      if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) GlobalFree(memory);
    } else {
      GlobalFree(memory);
    }
  }
  CloseClipboard();
}

void LayOutDiagnosis(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  constexpr int kMargin = 8;
  constexpr int kButtonWidth = 88;
  constexpr int kButtonHeight = 28;
  MoveWindow(GetDlgItem(window, kDiagnosisTextId), kMargin, kMargin, width - 2 * kMargin,
             height - 3 * kMargin - kButtonHeight, TRUE);
  const int y = height - kMargin - kButtonHeight;
  MoveWindow(GetDlgItem(window, kDiagnosisCloseId), width - kMargin - kButtonWidth, y, kButtonWidth,
             kButtonHeight, TRUE);
  MoveWindow(GetDlgItem(window, kDiagnosisCopyId), width - 2 * (kMargin + kButtonWidth), y,
             kButtonWidth, kButtonHeight, TRUE);
}

LRESULT CALLBACK DiagnosisProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      LayOutDiagnosis(window);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kDiagnosisCopyId) {
        HWND edit = GetDlgItem(window, kDiagnosisTextId);
        std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
        text.resize(static_cast<std::size_t>(
            GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
        CopyToClipboard(window, text);
        return 0;
      }
      if (LOWORD(wParam) == kDiagnosisCloseId || LOWORD(wParam) == IDCANCEL) {
        ShowWindow(window, SW_HIDE);
        return 0;
      }
      break;
    case WM_CLOSE:
      ShowWindow(window, SW_HIDE);  // kept for the next diagnosis
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateDiagnosisWindow(HINSTANCE instance, HICON icon) {
  WNDCLASSEXW windowClass;
  ZeroMemory(&windowClass, sizeof windowClass);
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &DiagnosisProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kDiagnosisClass;
  RegisterClassExW(&windowClass);  // fails harmlessly when already registered
  HWND window =
      CreateWindowExW(0, kDiagnosisClass, L"Talvex诊断", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, 780, 540, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return nullptr;
  const HFONT font = static_cast<HFONT>(GetStockObject(ANSI_FIXED_FONT));
  HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                  ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                              0, 0, 0, 0, window,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kDiagnosisTextId)),
                              instance, nullptr);
  SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  CreateWindowExW(0, L"BUTTON", L"复制", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0,
                  0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kDiagnosisCopyId)),
                  instance, nullptr);
  CreateWindowExW(0, L"BUTTON", L"关闭", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0,
                  0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kDiagnosisCloseId)),
                  instance, nullptr);
  LayOutDiagnosis(window);
  return window;
}

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
    case WM_TIMER:
      // A service thread that ended by itself shows as stopped: 启动 is
      // enabled again.
      if (wParam == kServiceWatchTimer && running_ && HttpServiceExitCode()) OnStop();
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BUTTON_START:
          OnStart();
          return TRUE;
        case IDC_BUTTON_STOP:
          OnStop();
          return TRUE;
        case kDiagnoseCommand:
          ShowDiagnosis();
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
  SetTimer(window_, kServiceWatchTimer, kServiceWatchMs, nullptr);
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
  if (diagnosis_ != nullptr) {
    DestroyWindow(diagnosis_);
    diagnosis_ = nullptr;
  }
  KillTimer(window_, kServiceWatchTimer);
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
  if (iconId == kTrayIconId && static_cast<UINT>(mouseMessage) == WM_RBUTTONUP) ShowTrayMenu();
  return 0;
}

void CTalvexServerDlg::ShowTrayMenu() {
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return;
  AppendMenuW(menu, MF_STRING, kDiagnoseCommand, L"诊断…");
  POINT at;
  GetCursorPos(&at);
  // The owner must be in the foreground, or the menu does not go away when
  // the user clicks elsewhere.
  SetForegroundWindow(window_);
  TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, 0, window_, nullptr);
  PostMessageW(window_, WM_NULL, 0, 0);
  DestroyMenu(menu);
}

void CTalvexServerDlg::ShowDiagnosis() {
  // The report takes a few seconds (serial ports are probed).
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));  // IDC_WAIT
  std::string report;
  const bool made = diagnose::TextReport(HttpServiceConfig().port, &report);
  SetCursor(previous);
  if (!made) return;  // no memory for it: nothing is shown
  if (diagnosis_ == nullptr) diagnosis_ = CreateDiagnosisWindow(instance_, icon_);
  if (diagnosis_ == nullptr) return;
  try {
    SetWindowTextW(GetDlgItem(diagnosis_, kDiagnosisTextId), ForEditControl(report).c_str());
  } catch (const std::bad_alloc&) {
    return;
  }
  ShowWindow(diagnosis_, SW_SHOW);
  SetForegroundWindow(diagnosis_);
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
