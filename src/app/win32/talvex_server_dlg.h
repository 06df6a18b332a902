// The main dialog of the Windows shell: three buttons over the HTTP service,
// hidden behind a tray icon until the user double-clicks it.
#pragma once

#include <windows.h>

namespace talvex {

inline constexpr UINT kTrayCallbackMessage = WM_USER + 1;  // 0x401
inline constexpr UINT kTrayIconId = 128;

class CTalvexServerDlg {
 public:
  explicit CTalvexServerDlg(HINSTANCE instance);
  virtual ~CTalvexServerDlg() = default;
  CTalvexServerDlg(const CTalvexServerDlg&) = delete;
  CTalvexServerDlg& operator=(const CTalvexServerDlg&) = delete;

  // Runs the dialog modally until it ends; returns its result (IDCANCEL).
  INT_PTR DoModal();

  bool running() const { return running_ != 0; }
  bool shown() const { return shown_ != 0; }

 protected:
  virtual BOOL OnInitDialog();
  virtual void OnCancel();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void OnStart();
  void OnStop();
  void OnPaint();
  void OnWindowPosChanging(WINDOWPOS* position);
  LRESULT OnTrayNotify(WPARAM iconId, LPARAM mouseMessage);
  // The tray menu (right click) and its "诊断…": the diagnosis report in a
  // read-only window with a button that copies it to the clipboard.
  void ShowTrayMenu();
  void ShowDiagnosis();
  bool OnSysCommand(WPARAM command);
  void SetButtons(bool running);
  void DeleteTrayIcon();

  HINSTANCE instance_;
  HWND window_ = nullptr;
  HICON icon_;
  int running_ = 0;
  int shown_ = 0;
  bool trayAdded_ = false;
  HWND diagnosis_ = nullptr;
};

}  // namespace talvex
