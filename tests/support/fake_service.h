// A service that only counts: starts succeed or fail as told.
#pragma once

#include <functional>
#include <string>

#include "app/qt/service_control.h"

namespace talvex::test {

class FakeService final : public ServiceControl {
 public:
  int Start() override {
    ++starts;
    if (startResult != 0) threadExists = true;
    return startResult;
  }
  void Stop() override {
    ++stops;
    if (onStop) onStop();
    threadExists = false;
  }
  bool ThreadExists() override { return threadExists; }
  std::string DiagnosisReport() override { return diagnosis; }

  int startResult = 1;
  bool threadExists = false;
  int starts = 0;
  int stops = 0;
  std::function<void()> onStop;  // runs inside Stop, before the thread is gone
  std::string diagnosis;         // what DiagnosisReport answers
};

}  // namespace talvex::test
