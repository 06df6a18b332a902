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

std::string HostService::DiagnosisReport() {
  if (host_.diagnosisReport == nullptr) return std::string();
  std::string text(4096, '\0');
  unsigned long length = host_.diagnosisReport(text.data(), text.size());
  if (length >= text.size()) {
    // Asked again with room for all of it (the report may change in between).
    text.assign(length + 4096, '\0');
    length = host_.diagnosisReport(text.data(), text.size());
    if (length >= text.size()) length = text.size() - 1;
  }
  text.resize(length);
  return text;
}

}  // namespace talvex
