// The Windows shell's application object: common controls, the modal main
// dialog, and the vendor library's exit call.
#pragma once

#include <windows.h>

namespace talvex {

class CTalvexServerApp {
 public:
  CTalvexServerApp() = default;
  virtual ~CTalvexServerApp() = default;
  CTalvexServerApp(const CTalvexServerApp&) = delete;
  CTalvexServerApp& operator=(const CTalvexServerApp&) = delete;

  // Start-up, then shutdown; returns the program's exit code.
  int Run(HINSTANCE instance);

 protected:
  // Runs the dialog to its end and returns false: there is no message loop
  // of the application's own.
  virtual BOOL InitInstance();
  virtual int ExitInstance();

 private:
  HINSTANCE instance_ = nullptr;
};

}  // namespace talvex
