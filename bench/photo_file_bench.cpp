// The photo pipeline (bitmap file to Base64 JPEG text) on a bitmap file of
// the caller's choice, named by TALVEX_BENCH_BMP; bench/compare runs it beside
// a command-line reference on the same file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "photo/photo.h"
#include "platform/utf.h"

namespace {

void BM_EncodePhotoFile(benchmark::State& state) {
  const char* path = std::getenv("TALVEX_BENCH_BMP");
  if (path == nullptr || *path == '\0') {
    state.SkipWithError("set TALVEX_BENCH_BMP to a 24-bit bitmap file");
    return;
  }
  const std::u16string wide = talvex::Utf8ToUtf16(path);
  std::string text;
  for (auto _ : state) {
    text.clear();
    if (talvex::EncodePhoto(wide.c_str(), text) != talvex::kOk) {
      state.SkipWithError("EncodePhoto failed");
      break;
    }
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["base64_chars"] = static_cast<double>(text.size());
}
BENCHMARK(BM_EncodePhotoFile)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
