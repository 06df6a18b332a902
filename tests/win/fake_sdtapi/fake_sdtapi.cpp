// Stands in for the reader vendor's sdtapi.dll in tests: export number 1
// records how it was called.
#include <cstdint>

namespace {
int calls = 0;
std::int32_t firstArgument = -1;
std::int32_t thirdArgument = -1;
bool bufferWritable = false;
}  // namespace

extern "C" __declspec(dllexport) int __stdcall VendorExit(std::int32_t first, void* scratch,
                                                          std::int32_t third) {
  ++calls;
  firstArgument = first;
  thirdArgument = third;
  if (scratch != nullptr) {
    auto* bytes = static_cast<std::uint8_t*>(scratch);
    for (int i = 0; i < 16; ++i) bytes[i] = 0xEE;  // the whole 16-byte buffer
    bufferWritable = true;
  }
  return 0x90;
}

extern "C" __declspec(dllexport) void __stdcall FakeSdtapiState(int* callCount, std::int32_t* first,
                                                                std::int32_t* third, int* wrote) {
  *callCount = calls;
  *first = firstArgument;
  *third = thirdArgument;
  *wrote = bufferWritable ? 1 : 0;
}
