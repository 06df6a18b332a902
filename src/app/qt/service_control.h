// The three service operations the shell uses, behind a small interface so a
// test can put a fake service (one whose start fails, one that counts stops)
// in place of the real HTTP service.
#pragma once

#include <string>

struct TalvexShellHost;

namespace talvex {

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  // 1 when the service thread was created, 0 when it was not.
  virtual int Start() = 0;
  // Ends the service thread and waits for it; does nothing without one.
  virtual void Stop() = 0;
  // Whether a service thread exists (it may have ended by itself).
  virtual bool ThreadExists() = 0;
  // The server's diagnosis report (UTF-8 text); empty when it offers none.
  virtual std::string DiagnosisReport() { return std::string(); }
};

// The server's HTTP service, reached through the operations the server hands
// to its shell.
class HostService final : public ServiceControl {
 public:
  explicit HostService(const TalvexShellHost& host) : host_(host) {}
  int Start() override;
  void Stop() override;
  bool ThreadExists() override;
  std::string DiagnosisReport() override;

 private:
  const TalvexShellHost& host_;
};

}  // namespace talvex
