#include "reader/serial.h"

#include <new>

#include "platform/devices.h"
#include "reader/discovery.h"
#include "reader/frame.h"
#include "reader/session.h"
#include "reader/trace.h"
#include "reader/transport.h"

namespace talvex {
namespace {

// The frame exchange on a serial line: the request, then the 7-byte head,
// then the LEN bytes the head announces.
class SerialTransport final : public Transport {
 public:
  explicit SerialTransport(std::unique_ptr<platform::SerialPort> port) : port_(std::move(port)) {}
  TransportKind Kind() const override { return TransportKind::kSerial; }
  ResultCode Exchange(ReaderContext& ctx, const std::uint8_t* request,
                      std::uint32_t length) override;

 private:
  std::unique_ptr<platform::SerialPort> port_;
};

ResultCode SerialTransport::Exchange(ReaderContext& ctx, const std::uint8_t* request,
                                     std::uint32_t length) {
  port_->Purge();

  std::uint32_t moved = 0;
  if (!port_->Write(request, length, &moved)) return kPortOpenFailed;
  if (moved != length) return kReceiveTimeout;

  if (!port_->Read(ctx.rxBuffer, kFrameHeadSize, &moved)) return kPortOpenFailed;
  if (moved != kFrameHeadSize) return kReceiveTimeout;

  std::uint32_t len = 0;
  if (const ResultCode rc = CheckResponseHead(ctx, &len); rc != kOk) return rc;

  if (!port_->Read(ctx.rxBuffer + kFrameHeadSize, len, &moved)) return kPortOpenFailed;
  if (moved != len) return kReceiveTimeout;

  return FinishResponse(ctx, len);
}

}  // namespace

std::unique_ptr<platform::SerialPort> OpenSerialPort(int number, int baudRate,
                                                     bool normalTimeouts) {
  return platform::Devices().serial->Open(number, baudRate,
                                          normalTimeouts ? kNormalTimeouts : kScanTimeouts);
}

ResultCode SerialExchange(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length) {
  return ExchangeOver(TransportKind::kSerial, ctx, request, length);
}

std::unique_ptr<Transport> SerialTransportOver(std::unique_ptr<platform::SerialPort> port) {
  if (!port) return nullptr;
  return std::unique_ptr<Transport>(new (std::nothrow) SerialTransport(std::move(port)));
}

ResultCode ScanSerialPorts(ReaderContext& ctx, DiscoveryObserver* survey) {
  ResultCode result = kPortOpenFailed;
  const std::int32_t selector = ctx.transport;
  bool found = false;
  for (int number = kScanFirstPort; number <= kScanLastPort; ++number) {
    std::unique_ptr<platform::SerialPort> port = OpenSerialPort(number, ctx.baudRate, false);
    // "COM32" at the longest, no allocation.
    std::string name = SerialPortName(number);
    SerialCandidate seen;
    seen.number = number;
    seen.opened = port != nullptr;
    if (!port) {
      LogCandidate("serial", name, false, kDoesNotOpen);
      if (survey != nullptr) survey->SawSerial(seen);
      continue;
    }
    if (found) {  // a survey past the reader: the port is probed on its own
      ReaderContext past;
      past.transport = number;
      past.baudRate = ctx.baudRate;
      past.device = std::move(port);
      seen.probe = ExchangeFrame(past, kProbeFrame, sizeof kProbeFrame);
      survey->SawSerial(seen);
      continue;
    }
    platform::SerialPort* open = port.get();
    ctx.device = std::move(port);
    // The probe goes out under the port's own number, so that its frame
    // line names the port; a refused port leaves the selector as it was.
    ctx.transport = number;
    ctx.port = std::move(name);
    result = ExchangeFrame(ctx, kProbeFrame, sizeof kProbeFrame);
    LogCandidate("serial", ctx.port, result == kOk, result == kOk ? kProbeAnswered : kProbeFailed,
                 result);
    seen.probe = result;
    if (survey != nullptr) survey->SawSerial(seen);
    if (result == kOk) {
      open->SetTimeouts(kNormalTimeouts);
      if (survey == nullptr) return kOk;
      found = true;
      continue;
    }
    ctx.transport = selector;
    ctx.port.clear();
    ctx.device.reset();
  }
  return found ? kOk : result;
}

}  // namespace talvex
