#include "app/qt/service_control.h"

#include "app/shell_abi.h"

namespace talvex {

int HostService::Start() {
  return host_.startService();
}

void HostService::Stop() {
  host_.stopService();
}

bool HostService::ThreadExists() {
  return host_.serviceThreadExists() != 0;
}

}  // namespace talvex
