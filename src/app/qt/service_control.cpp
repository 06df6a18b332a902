#include "app/qt/service_control.h"

#include <vector>

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

std::string HostService::DiagnosisReport() {
  if (host_.diagnosisReport == nullptr) return std::string();
  std::vector<char> buffer(4096);
  unsigned long length = host_.diagnosisReport(buffer.data(), buffer.size());
  if (length >= buffer.size()) {
    // Asked again with room for all of it (the report may change in between).
    buffer.assign(length + 4096, '\0');
    length = host_.diagnosisReport(buffer.data(), buffer.size());
    if (length >= buffer.size()) length = buffer.size() - 1;
  }
  return std::string(buffer.data(), length);
}

}  // namespace talvex
