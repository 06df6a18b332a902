#include "app/win32/talvex_server_app.h"

#include <commctrl.h>

#include "app/win32/talvex_server_dlg.h"
#include "platform/win32/sdtapi_win32.h"

namespace talvex {

int CTalvexServerApp::Run(HINSTANCE instance) {
  instance_ = instance;
  if (InitInstance()) {
    // Never reached: InitInstance always ends the program.
  }
  return ExitInstance();
}

BOOL CTalvexServerApp::InitInstance() {
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = 8;
  controls.dwICC = 0xFF;
  InitCommonControlsEx(&controls);

  CTalvexServerDlg dialog(instance_);
  dialog.DoModal();
  return FALSE;
}

int CTalvexServerApp::ExitInstance() {
  platform::win32::CallVendorExit();  // result ignored
  return 0;
}

}  // namespace talvex
