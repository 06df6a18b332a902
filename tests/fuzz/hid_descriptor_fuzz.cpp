// libFuzzer target for the HID report descriptor parser. Not part of the
// normal build; build and run it with clang:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     tests/fuzz/hid_descriptor_fuzz.cpp src/platform/hid_descriptor.cpp -o hid_descriptor_fuzz
//   ./hid_descriptor_fuzz -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/hid_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that AddressSanitizer sees any read
  // past the end of the descriptor.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  talvex::platform::HidReportLengths lengths;
  const bool ok =
      talvex::platform::ComputeHidReportLengths(size == 0 ? nullptr : copy.get(), size, &lengths);
  // An empty descriptor is a valid one that declares no reports.
  if (size == 0 && (!ok || lengths.input != 0 || lengths.output != 0)) std::abort();
  return 0;
}
