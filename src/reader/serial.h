// Readers on serial ports.
#pragma once

#include <cstdint>
#include <memory>

#include "core/result.h"
#include "platform/serial.h"

namespace talvex {

struct ReaderContext;
class DiscoveryObserver;

inline constexpr platform::CommTimeouts kNormalTimeouts{1000, 1, 3000, 1, 3000};
inline constexpr platform::CommTimeouts kScanTimeouts{50, 1, 150, 1, 150};
inline constexpr int kScanFirstPort = 1;
inline constexpr int kScanLastPort = 32;

// Opens and configures port `number`; normalTimeouts picks the normal set
// (true) or the scan set (false). Null when the port does not open.
std::unique_ptr<platform::SerialPort> OpenSerialPort(int number, int baudRate, bool normalTimeouts);

// One frame exchange over ctx.device, which must be a serial port: 1 without
// any I/O otherwise.
ResultCode SerialExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length);

// Tries ports 1 to 32 with the probe frame; on 0 ctx holds the open port
// (normal timeouts) and ctx.transport is its number. A survey reports every
// port to its observer, and probes the ports past the reader as well.
ResultCode ScanSerialPorts(ReaderContext& ctx, DiscoveryObserver* survey = nullptr);

}  // namespace talvex
