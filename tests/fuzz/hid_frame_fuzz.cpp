// Response frames from a HID reader: any bytes the reader answers, through
// opening the reader and the whole card sequence.
#include <cstddef>
#include <cstdint>

#include "reader_session_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  talvex::fuzz::RunReaderSession(talvex::kTransportHid, data, size);
  return 0;
}
