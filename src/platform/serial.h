// Serial ports, numbered as on Windows (COM1, COM2, ...). The backend maps a
// port number to a device and emulates the COMMTIMEOUTS semantics.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/device.h"

namespace talvex::platform {

// Milliseconds, with the meaning of the Win32 COMMTIMEOUTS fields: a read of n
// bytes returns when n bytes have arrived, when more than readInterval passes
// between two bytes, or when readMultiplier * n + readConstant has passed since
// the read began; a write of n bytes gives up after writeMultiplier * n +
// writeConstant.
struct CommTimeouts {
  std::uint32_t readInterval;
  std::uint32_t readMultiplier;
  std::uint32_t readConstant;
  std::uint32_t writeMultiplier;
  std::uint32_t writeConstant;
};

class SerialPort : public DeviceHandle {
 public:
  // Abandons pending operations and empties both queues (PurgeComm 0x0F).
  virtual void Purge() = 0;
  virtual void SetTimeouts(const CommTimeouts& timeouts) = 0;
  // One write call; false when the call failed, else *written is the count.
  virtual bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) = 0;
  // One read call under the timeouts; false when the call failed, else *got is
  // how many bytes arrived (fewer than size on a timeout).
  virtual bool Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) = 0;
};

class SerialBackend {
 public:
  virtual ~SerialBackend() = default;
  // Opens port `number` exclusively and configures it (115200 8N1, no flow
  // control, DTR on, RTS off, the given timeouts, both queues purged). Null
  // when the port does not exist or does not open; configuration failures
  // after a successful open are not reported.
  virtual std::unique_ptr<SerialPort> Open(int number, int baudRate,
                                           const CommTimeouts& timeouts) = 0;
};

// The operating system's serial ports.
SerialBackend& SystemSerialBackend();

// Where ports 1 to 32 come from, in words for the diagnosis: the port
// directory or the fixed device table on Linux, COM1 to COM32 on Windows.
std::string SerialPortSource();

}  // namespace talvex::platform
