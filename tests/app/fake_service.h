// A service that only counts: starts succeed or fail as told.
#pragma once

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
    threadExists = false;
  }
  bool ThreadExists() override { return threadExists; }

  int startResult = 1;
  bool threadExists = false;
  int starts = 0;
  int stops = 0;
};

}  // namespace talvex::test
