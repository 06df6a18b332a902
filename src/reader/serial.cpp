#include "reader/serial.h"

#include "platform/devices.h"
#include "reader/frame.h"
#include "reader/session.h"

namespace talvex {

std::unique_ptr<platform::SerialPort> OpenSerialPort(int number, int baudRate,
                                                     bool normalTimeouts) {
  return platform::Devices().serial->Open(number, baudRate,
                                          normalTimeouts ? kNormalTimeouts : kScanTimeouts);
}

ResultCode SerialExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length) {
  ctx.dataLength = 0;
  auto* port = dynamic_cast<platform::SerialPort*>(ctx.device.get());
  if (port == nullptr) return kPortOpenFailed;

  port->Purge();

  std::uint32_t moved = 0;
  if (!port->Write(request, length, &moved)) return kPortOpenFailed;
  if (moved != length) return kReceiveTimeout;

  if (!port->Read(ctx.rxBuffer, kFrameHeadSize, &moved)) return kPortOpenFailed;
  if (moved != kFrameHeadSize) return kReceiveTimeout;

  std::uint32_t len = 0;
  if (const ResultCode rc = CheckResponseHead(ctx, &len); rc != kOk) return rc;

  if (!port->Read(ctx.rxBuffer + kFrameHeadSize, len, &moved)) return kPortOpenFailed;
  if (moved != len) return kReceiveTimeout;

  return FinishResponse(ctx, len);
}

ResultCode ScanSerialPorts(ReaderContext& ctx) {
  ResultCode result = kPortOpenFailed;
  for (int number = kScanFirstPort; number <= kScanLastPort; ++number) {
    std::unique_ptr<platform::SerialPort> port = OpenSerialPort(number, ctx.baudRate, false);
    if (!port) continue;
    platform::SerialPort* open = port.get();
    ctx.device = std::move(port);
    result = SerialExchange(ctx, kProbeFrame, sizeof kProbeFrame);
    if (result == kOk) {
      open->SetTimeouts(kNormalTimeouts);
      ctx.transport = number;
      return kOk;
    }
    ctx.device.reset();
  }
  return result;
}

}  // namespace talvex
