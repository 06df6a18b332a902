// The log on Linux is stderr: under the systemd unit it reaches the journal,
// in a terminal the user sees it.
#include <cstdio>
#include <string>

#include "platform/log.h"

namespace talvex::platform {

void WriteSystemLogLine(std::string_view line) {
  std::string whole(line);
  whole += '\n';
  // One write per line, so that lines of other writers do not cut into it.
  std::fwrite(whole.data(), 1, whole.size(), stderr);
  std::fflush(stderr);
}

}  // namespace talvex::platform
