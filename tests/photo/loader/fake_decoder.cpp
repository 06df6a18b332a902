// A decoder library for the look-up tests: GetBmp answers the number in
// $TALVEX_FAKE_GETBMP_ANSWER (1 when unset) and appends "<mode> <path>" to
// the file named by $TALVEX_FAKE_GETBMP_LOG.
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int GetBmp(char* path, int mode) {
  if (const char* log = std::getenv("TALVEX_FAKE_GETBMP_LOG")) {
    if (std::FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%d %s\n", mode, path);
      std::fclose(f);
    }
  }
  const char* answer = std::getenv("TALVEX_FAKE_GETBMP_ANSWER");
  return answer != nullptr ? std::atoi(answer) : 1;
}
