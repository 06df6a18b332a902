#include "reader/session.h"

#include <new>

#include "reader/discovery.h"
#include "reader/hid.h"
#include "reader/serial.h"
#include "reader/trace.h"
#include "reader/usb.h"

namespace talvex {
namespace {

// Set by the first open that gets as far as the start-up command; only the
// service thread touches it.
bool startupCommandSent = false;

// The answer to read base message: T and P (big-endian), the text block, the
// photo block.
constexpr std::uint32_t kTextLengthOffset = 10;
constexpr std::uint32_t kPhotoLengthOffset = 12;
constexpr std::uint32_t kAnswerTextOffset = 14;
constexpr std::uint32_t kMinTextLength = 256;
constexpr std::uint32_t kMinPhotoLength = 512;
constexpr std::uint32_t kKindMarkerOffset = kAnswerTextOffset + 248;

std::uint32_t BigEndian16(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 8) | p[1];
}

// Probes the device just put into ctx; on a refusal it is closed again.
bool Probe(ReaderContext& ctx, DiscoveryObserver* survey) {
  const ResultCode rc = ExchangeFrame(ctx, kProbeFrame, sizeof kProbeFrame);
  LogCandidate(TransportName(ctx.transport), ctx.port, rc == kOk,
               rc == kOk ? kProbeAnswered : kProbeFailed, rc);
  if (survey != nullptr) survey->Probed(TransportKindOf(ctx.transport), rc);
  if (rc == kOk) return true;
  ctx.device.reset();
  ctx.port.clear();
  return false;
}

// One transport of auto-detection: its walk, and the probe of what it took.
bool DetectOn(TransportKind kind, ReaderContext& ctx, DiscoveryObserver* survey) {
  std::string path;
  switch (kind) {
    case TransportKind::kHid:
      ctx.device = FindHidReader(&path, survey);
      ctx.transport = kTransportHid;
      break;
    case TransportKind::kUsb:
      ctx.device = FindUsbReader(&path, survey);
      ctx.transport = kTransportUsb;
      break;
    case TransportKind::kSerial:
      ctx.transport = kTransportAuto;
      return ScanSerialPorts(ctx, survey) == kOk;
    case TransportKind::kNone:
      return false;
  }
  if (!ctx.device) return false;
  ctx.port = std::move(path);
  return Probe(ctx, survey);
}

// Auto-detection: the transports in their order, until one answers the
// probe; on true ctx holds the open reader and ctx.transport names it. A
// survey goes on through the later transports, each into a record of its own
// that is closed again.
bool DetectReader(ReaderContext& ctx, DiscoveryObserver* survey = nullptr) {
  bool found = false;
  for (const TransportKind kind : kDetectionOrder) {
    if (!found) {
      found = DetectOn(kind, ctx, survey);
      if (found && survey == nullptr) return true;
      continue;
    }
    ReaderContext past;
    past.baudRate = ctx.baudRate;
    DetectOn(kind, past, survey);
  }
  if (found) return true;
  ctx.device.reset();
  ctx.port.clear();
  ctx.transport = kTransportAuto;
  return false;
}

// Opens the transport a non-zero selector names, without any probe.
void OpenNamedTransport(ReaderContext& ctx) {
  std::string path;
  switch (TransportKindOf(ctx.transport)) {
    case TransportKind::kSerial:
      ctx.device = OpenSerialPort(ctx.transport, ctx.baudRate, true);
      if (ctx.transport > 0) path = SerialPortName(ctx.transport);
      break;
    case TransportKind::kUsb:
      ctx.device = FindUsbReader(&path);
      break;
    case TransportKind::kHid:
      ctx.device = FindHidReader(&path);
      break;
    case TransportKind::kNone:
      return;
  }
  LogCandidate(TransportName(ctx.transport), path, ctx.device != nullptr,
               ctx.device ? kRemembered : kDoesNotOpen);
  if (ctx.device) ctx.port = std::move(path);
}

}  // namespace

ResultCode OpenReader(std::int32_t& selector, std::unique_ptr<ReaderContext>& context,
                      std::string* port) {
  context.reset();
  if (port != nullptr) port->clear();
  std::unique_ptr<ReaderContext> record(new (std::nothrow) ReaderContext());
  if (!record) return kOutOfMemory;
  record->transport = selector;
  record->baudRate = kBaudRate;

  if (selector == kTransportAuto) {
    if (!DetectReader(*record)) return kPortOpenFailed;
    // Written back before the start-up command, so a failing start-up still
    // leaves the caller pointing at the reader that was found.
    selector = record->transport;
  } else {
    OpenNamedTransport(*record);
    if (!record->device) return kPortOpenFailed;
  }
  if (port != nullptr) {
    // Only the log reads it: without the memory it is left empty.
    try {
      *port = record->port;
    } catch (const std::bad_alloc&) {
      port->clear();
    }
  }

  if (!startupCommandSent) {
    startupCommandSent = true;
    const ResultCode rc = ExchangeFrame(*record, kStartupFrame, sizeof kStartupFrame);
    if (rc != kOk) return rc;  // the record and its device go with it
  }

  context = std::move(record);
  return kOk;
}

ResultCode ReadCardData(ReaderContext& ctx, CardAnswer& answer) {
  answer = CardAnswer{};

  ResultCode rc = ExchangeFrame(ctx, kFindCardFrame, sizeof kFindCardFrame);
  if (rc == kOk) return kFindCardAnswerError;
  if (rc != kStatusFindCardSuccess && rc != kStatusFindCardFailed) return rc;

  rc = ExchangeFrame(ctx, kSelectCardFrame, sizeof kSelectCardFrame);
  if (rc != kOk && rc != kStatusSelectCardFailed) return rc;

  rc = ExchangeFrame(ctx, kReadBaseMessageFrame, sizeof kReadBaseMessageFrame);
  if (rc != kOk) return rc;

  const std::uint32_t textLength = BigEndian16(ctx.rxBuffer + kTextLengthOffset);
  const std::uint32_t photoLength = BigEndian16(ctx.rxBuffer + kPhotoLengthOffset);
  if (textLength < kMinTextLength) return kInfoLengthError;
  if (photoLength < kMinPhotoLength) return kInfoLengthError;
  if (static_cast<std::uint32_t>(ctx.dataLength) < textLength + photoLength + 4) {
    return kInfoLengthError;
  }

  answer.kind = CardKindOf(static_cast<std::uint16_t>(ctx.rxBuffer[kKindMarkerOffset] |
                                                      (ctx.rxBuffer[kKindMarkerOffset + 1] << 8)));
  answer.text = std::span<const std::uint8_t>(ctx.rxBuffer + kAnswerTextOffset, textLength);
  answer.photo =
      std::span<const std::uint8_t>(ctx.rxBuffer + kAnswerTextOffset + textLength, photoLength);
  return kOk;
}

ResultCode ProbeCardPresence(ReaderContext& ctx, bool* present) {
  *present = false;
  ResultCode rc = ExchangeFrame(ctx, kFindCardFrame, sizeof kFindCardFrame);
  if (rc == kOk) return kFindCardAnswerError;
  if (rc != kStatusFindCardSuccess && rc != kStatusFindCardFailed) return rc;
  rc = ExchangeFrame(ctx, kSelectCardFrame, sizeof kSelectCardFrame);
  if (rc == kStatusSelectCardFailed) return kOk;
  if (rc != kOk) return rc;
  *present = true;
  return kOk;
}

std::int32_t CardKindOf(std::uint16_t cardTypeUnit) {
  if (cardTypeUnit == u'I') return kCardForeign;
  if (cardTypeUnit == u'J') return kCardHmt;
  if (cardTypeUnit >= u'A' && cardTypeUnit <= u'Z') return kCardUnknown;
  return kCardResident;
}

bool StartupCommandSent() {
  return startupCommandSent;
}

void ResetStartupCommandForTesting() {
  startupCommandSent = false;
}

SurveyResult SurveyReaders(DiscoveryObserver& observer) {
  SurveyResult result;
  std::unique_ptr<ReaderContext> ctx(new (std::nothrow) ReaderContext());
  if (!ctx) return result;
  ctx->transport = kTransportAuto;
  ctx->baudRate = kBaudRate;
  if (DetectReader(*ctx, &observer)) {
    result.selector = ctx->transport;
    try {
      result.port = ctx->port;
    } catch (const std::bad_alloc&) {
    }
  }
  return result;
}

}  // namespace talvex
