// Decoding a card text block and writing its result text, per card kind, and
// the country lookup.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "card/card_records.h"
#include "card/result_text.h"

namespace {

using talvex::kResultTextCapacity;

struct Block {
  std::uint8_t bytes[256];
  Block() {
    for (std::size_t i = 0; i < 256; i += 2) {
      bytes[i] = 0x20;
      bytes[i + 1] = 0;
    }
  }
  Block& Put(std::size_t offset, std::u16string_view value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      bytes[offset + 2 * i] = static_cast<std::uint8_t>(value[i] & 0xFF);
      bytes[offset + 2 * i + 1] = static_cast<std::uint8_t>(value[i] >> 8);
    }
    return *this;
  }
};

Block ResidentBlock() {
  Block b;
  b.Put(0, u"张三").Put(30, u"1").Put(32, u"01").Put(36, u"20000101");
  b.Put(52, u"某省某市某区某路1号").Put(122, u"000000200001010000").Put(158, u"某市公安局");
  b.Put(188, u"20200101").Put(204, u"20400101");
  return b;
}

Block ForeignBlock() {
  Block b;
  b.Put(0, u"DOE JANE").Put(120, u"2").Put(122, u"000000000000000").Put(152, u"USA");
  b.Put(158, u"多伊").Put(188, u"20200101").Put(204, u"20300101").Put(220, u"19800101");
  b.Put(236, u"01").Put(240, u"0000").Put(248, u"I");
  return b;
}

Block HmtBlock() {
  Block b;
  b.Put(0, u"李四").Put(30, u"1").Put(36, u"19900101").Put(52, u"某省某市某区某路2号");
  b.Put(122, u"000000199001010000").Put(158, u"某市公安局").Put(188, u"20200101");
  b.Put(204, u"20250101").Put(220, u"H00000000").Put(238, u"01").Put(248, u"J");
  return b;
}

using Builder = void (*)(char*&, const std::uint8_t*);

void BM_BuildText(benchmark::State& state, Builder build, Block block) {
  char buffer[kResultTextCapacity];
  for (auto _ : state) {
    buffer[0] = '\0';
    char* cursor = buffer;
    build(cursor, block.bytes);
    benchmark::DoNotOptimize(cursor);
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_BuildText, resident, talvex::BuildResidentText, ResidentBlock());
BENCHMARK_CAPTURE(BM_BuildText, foreign, talvex::BuildForeignText, ForeignBlock());
BENCHMARK_CAPTURE(BM_BuildText, hmt, talvex::BuildHmtText, HmtBlock());

void BM_LookupCountryName(benchmark::State& state) {
  const char16_t* codes[] = {u"ABW", u"CHN", u"USA", u"ZWE", u"XYZ", u"PST"};
  char16_t out[talvex::kCountryNameCapacity];
  std::size_t i = 0;
  for (auto _ : state) {
    talvex::LookupCountryName(out, codes[i++ % std::size(codes)]);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_LookupCountryName);

}  // namespace

BENCHMARK_MAIN();
