// The photo pipeline on a card-sized picture (102 x 126): bitmap file to
// Base64 JPEG text, and its parts.
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "photo/bitmap.h"
#include "photo/jpeg.h"
#include "photo/photo.h"
#include "platform/utf.h"
#include "wlt-standin/standin_format.h"

namespace {

using talvex::standin::kHeight;
using talvex::standin::kWidth;

std::vector<std::uint8_t> SampleRgb() {
  std::uint8_t block[1024];
  talvex::standin::MakeSamplePhoto(0, block);
  std::vector<std::uint8_t> rgb;
  talvex::standin::DecodeStandinPhoto(block, sizeof block, &rgb);
  return rgb;
}

// The bitmap file the decoder leaves for a card photo.
class SampleBitmapFile {
 public:
  SampleBitmapFile() {
    char pattern[] = "/tmp/talvex-photo-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    dir_ = pattern;
    const std::vector<std::uint8_t> rgb = SampleRgb();
    const int stride = (kWidth * 3 + 3) & ~3;
    std::vector<std::uint8_t> bmp(54 + static_cast<std::size_t>(stride) * kHeight, 0);
    auto put = [&bmp](std::size_t at, std::uint32_t v) {
      for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put(2, static_cast<std::uint32_t>(bmp.size()));
    put(10, 54);
    put(14, 40);
    put(18, kWidth);
    put(22, kHeight);
    bmp[26] = 1;
    bmp[28] = 24;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        for (int c = 0; c < 3; ++c)
          bmp[54 + static_cast<std::size_t>(kHeight - 1 - y) * stride + x * 3 + c] =
              rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3 + 2 - c];
    const std::string path = dir_ + "/image.bmp";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bmp.data(), 1, bmp.size(), f) != bmp.size()) std::abort();
    std::fclose(f);
    path_ = talvex::Utf8ToUtf16(path);
  }
  ~SampleBitmapFile() { std::filesystem::remove_all(dir_); }
  const char16_t* path() const { return path_.c_str(); }

 private:
  std::string dir_;
  std::u16string path_;
};

void BM_EncodePhoto(benchmark::State& state) {
  SampleBitmapFile file;
  std::string text;
  for (auto _ : state) {
    text.clear();
    if (talvex::EncodePhoto(file.path(), text) != talvex::kOk) state.SkipWithError("failed");
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["base64_chars"] = static_cast<double>(text.size());
}
BENCHMARK(BM_EncodePhoto);

void BM_LoadBitmapFile(benchmark::State& state) {
  SampleBitmapFile file;
  for (auto _ : state) {
    std::uint8_t* pixels = nullptr;
    std::uint8_t* block = talvex::LoadBitmapFile(file.path(), pixels);
    if (block == nullptr) state.SkipWithError("failed");
    benchmark::DoNotOptimize(pixels);
    std::free(block);
  }
}
BENCHMARK(BM_LoadBitmapFile);

void BM_EncodeJpegToMemory(benchmark::State& state) {
  SampleBitmapFile file;
  std::uint8_t* pixels = nullptr;
  std::uint8_t* block = talvex::LoadBitmapFile(file.path(), pixels);
  std::int32_t length = 0;
  for (auto _ : state) {
    std::uint8_t* jpeg = nullptr;
    if (talvex::EncodeJpegToMemory(jpeg, length, block, pixels, {96, 96, 80}) != talvex::kOk)
      state.SkipWithError("failed");
    benchmark::DoNotOptimize(jpeg);
    std::free(jpeg);
  }
  state.counters["jpeg_bytes"] = length;
  std::free(block);
}
BENCHMARK(BM_EncodeJpegToMemory);

void BM_Base64Encode(benchmark::State& state) {
  std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
  std::vector<char> out((data.size() + 5) / 3 * 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(talvex::Base64Encode(static_cast<std::uint32_t>(data.size()),
                                                  data.data(), out.data(),
                                                  static_cast<std::uint32_t>(out.size())));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(4096);

void BM_DecodeStandinPhoto(benchmark::State& state) {
  std::uint8_t block[1024];
  talvex::standin::MakeSamplePhoto(1, block);
  std::vector<std::uint8_t> rgb;
  for (auto _ : state) {
    talvex::standin::DecodeStandinPhoto(block, sizeof block, &rgb);
    benchmark::DoNotOptimize(rgb.data());
  }
}
BENCHMARK(BM_DecodeStandinPhoto);

}  // namespace

BENCHMARK_MAIN();
