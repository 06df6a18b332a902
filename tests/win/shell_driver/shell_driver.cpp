// Drives TalvexServer.exe's dialog from outside, as the tray and the user
// would, and prints what the window shows. One action per run:
//   find | tray-click | tray-dblclk | tray-menu | wrong-id | minimise | stop
//   | start | esc | close | grab FILE.bmp (the whole window, frame included,
//   as a 24-bit BMP)
// Output: "visible=V start=S stop=T" (S, T: 1 when the button is enabled),
// or "none" when the dialog does not exist. Exit code 0, or 1 for "none";
// tray-menu exits 3 when no menu opened or it did not close again.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

HWND FindDialog() {
  for (int i = 0; i < 100; ++i) {
    HWND w = FindWindowW(L"#32770", L"Talvex\u670D\u52A1\u7AEF");
    if (w != nullptr) return w;
    Sleep(100);
  }
  return nullptr;
}

// Waits up to 5 s until a popup menu is (or is no longer) on the screen.
bool WaitForMenu(bool open) {
  for (int i = 0; i < 50; ++i) {
    HWND menu = FindWindowW(L"#32768", nullptr);
    if ((menu != nullptr && IsWindowVisible(menu)) == open) return true;
    Sleep(100);
  }
  return false;
}

bool GrabWindow(HWND window, const wchar_t* path) {
  RECT r;
  if (!GetWindowRect(window, &r)) return false;
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  HDC screen = GetWindowDC(window);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;  // bottom-up
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  const DWORD imageSize = stride * static_cast<DWORD>(h);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + imageSize;
  bool ok = false;
  if (FILE* out = _wfopen(path, L"wb")) {
    ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
         std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
         std::fwrite(bits, imageSize, 1, out) == 1;
    std::fclose(out);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, screen);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HWND dialog = FindDialog();
  if (dialog == nullptr) {
    std::printf("none\n");
    return 1;
  }
  const wchar_t* action = argc > 1 ? argv[1] : L"find";
  if (std::wcscmp(action, L"tray-click") == 0) {
    SendMessageW(dialog, WM_USER + 1, 128, WM_LBUTTONDOWN);
    SendMessageW(dialog, WM_USER + 1, 128, WM_LBUTTONUP);
  } else if (std::wcscmp(action, L"tray-menu") == 0) {
    // A right click opens the tray menu, which tracks the mouse until it is
    // dismissed: posted, so that this program is not held while it is open.
    PostMessageW(dialog, WM_USER + 1, 128, WM_RBUTTONUP);
    if (!WaitForMenu(true)) return 3;
    PostMessageW(dialog, WM_CANCELMODE, 0, 0);
    if (!WaitForMenu(false)) return 3;
  } else if (std::wcscmp(action, L"tray-dblclk") == 0) {
    SendMessageW(dialog, WM_USER + 1, 128, WM_LBUTTONDBLCLK);
  } else if (std::wcscmp(action, L"wrong-id") == 0) {
    SendMessageW(dialog, WM_USER + 1, 129, WM_LBUTTONDBLCLK);
  } else if (std::wcscmp(action, L"minimise") == 0) {
    SendMessageW(dialog, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  } else if (std::wcscmp(action, L"stop") == 0) {
    SendMessageW(GetDlgItem(dialog, 1001), BM_CLICK, 0, 0);
  } else if (std::wcscmp(action, L"start") == 0) {
    SendMessageW(GetDlgItem(dialog, 1000), BM_CLICK, 0, 0);
  } else if (std::wcscmp(action, L"grab") == 0 && argc > 2) {
    if (!GrabWindow(dialog, argv[2])) return 2;
  } else if (std::wcscmp(action, L"esc") == 0) {
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    return 0;
  } else if (std::wcscmp(action, L"close") == 0) {
    SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  std::printf("visible=%d start=%d stop=%d\n", IsWindowVisible(dialog) ? 1 : 0,
              IsWindowEnabled(GetDlgItem(dialog, 1000)) ? 1 : 0,
              IsWindowEnabled(GetDlgItem(dialog, 1001)) ? 1 : 0);
  std::fflush(stdout);
  return 0;
}
