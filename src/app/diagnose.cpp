#include "app/diagnose.h"

#include <cstdio>
#include <new>

#include "platform/diagnostics.h"
#include "platform/dynlib.h"

namespace talvex::diagnose {

int Report::ExitCode() const {
  return findings.empty() ? 0 : static_cast<int>(findings.front().problem);
}

Report Diagnose(std::uint16_t port, const Queries& queries) {
  Report report;
  report.user = platform::CurrentUserName();
  ProbeReaders(report, queries);
  std::string beside;
  platform::ExecutableDirectory(&beside);
  report.decoder = DiagnoseDecoder(beside);
  report.port = DiagnosePort(port);
  report.temp = DiagnoseTempFolder();
  Assess(report);
  return report;
}

bool TextReport(std::uint16_t port, std::string* text) noexcept {
  try {
    *text = FormatText(Diagnose(port));
    return true;
  } catch (const std::bad_alloc&) {
    text->clear();
    return false;
  }
}

int RunDiagnosis(const ServerOptions& options) {
  const Report report = Diagnose(options.service.port);
  const std::string text = options.json ? FormatJson(report) : FormatText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return report.ExitCode();
}

}  // namespace talvex::diagnose
