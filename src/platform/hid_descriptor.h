// A small HID report descriptor parser: the report lengths a HID device's
// capabilities give, computed from its report descriptor the way Windows
// computes InputReportByteLength, OutputReportByteLength and
// FeatureReportByteLength.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvex::platform {

struct HidReportLengths {
  // The largest report of each kind in bytes, plus one for the report ID byte
  // (counted even when the device numbers no reports); 0 when the descriptor
  // declares no report of that kind.
  std::uint16_t input = 0;
  std::uint16_t output = 0;
  std::uint16_t feature = 0;
};

// Parses `size` bytes of report descriptor. False when the descriptor is
// malformed: an item cut short by the end, a report ID of 0, a Pop without a
// Push, pushes nested deeper than the global stack allows, an End Collection
// without its Collection, or a report longer than 65534 bytes. Never reads
// outside [descriptor, descriptor + size).
bool ComputeHidReportLengths(const std::uint8_t* descriptor, std::size_t size,
                             HidReportLengths* out);

}  // namespace talvex::platform
