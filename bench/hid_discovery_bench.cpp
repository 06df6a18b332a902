// HID and USB reader discovery on this machine's own devices (on a machine
// without hidraw nodes and without USB both find nothing), and the report
// descriptor parser on the reader's descriptor.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "platform/hid_descriptor.h"
#include "reader/hid.h"
#include "reader/usb.h"

namespace talvex {
namespace {

void BM_FindHidReaderOnThisMachine(benchmark::State& state) {
  for (auto _ : state) {
    auto device = FindHidReader();
    benchmark::DoNotOptimize(device);
  }
}
BENCHMARK(BM_FindHidReaderOnThisMachine)->Unit(benchmark::kMicrosecond);

void BM_FindUsbReaderOnThisMachine(benchmark::State& state) {
  for (auto _ : state) {
    auto device = FindUsbReader();
    benchmark::DoNotOptimize(device);
  }
}
BENCHMARK(BM_FindUsbReaderOnThisMachine)->Unit(benchmark::kMicrosecond);

void BM_ReaderReportDescriptor(benchmark::State& state) {
  static const std::uint8_t kDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02,
                                             0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                                             0x81, 0x02, 0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00,
                                             0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xC0};
  for (auto _ : state) {
    platform::HidReportLengths lengths;
    benchmark::DoNotOptimize(
        platform::ComputeHidReportLengths(kDescriptor, sizeof kDescriptor, &lengths));
    benchmark::DoNotOptimize(lengths);
  }
}
BENCHMARK(BM_ReaderReportDescriptor);

}  // namespace
}  // namespace talvex

BENCHMARK_MAIN();
