#include "reader/frame.h"

#include "reader/session.h"
#include "reader/trace.h"
#include "reader/transport.h"

namespace talvex {
namespace {

constexpr std::uint8_t kPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
constexpr std::uint32_t kStatusOffset = 9;  // SW3

}  // namespace

ResultCode ExchangeFrame(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length) {
  // Every exchange starts from an empty answer, even one that never reaches a transport.
  ctx.dataLength = 0;
  FrameTrace trace(ctx, request, length);
  const ResultCode result = ExchangeOver(TransportKindOf(ctx.transport), ctx, request, length);
  trace.Done(result);
  return result;
}

ResultCode CheckResponseHead(const ReaderContext& ctx, std::uint32_t* len) {
  for (std::uint32_t i = 0; i < sizeof kPreamble; ++i) {
    if (ctx.rxBuffer[i] != kPreamble[i]) return kBadResponseHead;
  }
  const std::uint32_t value = (std::uint32_t{ctx.rxBuffer[5]} << 8) | ctx.rxBuffer[6];
  if (value < kMinResponseLen || value > kMaxResponseLen) return kBadResponseLength;
  *len = value;
  return kOk;
}

ResultCode FinishResponse(ReaderContext& ctx, std::uint32_t len) {
  // A transport only gets here with a LEN that passed the head check; refusing anything else
  // keeps the checksum loop inside the buffer whatever a caller does.
  if (len < kMinResponseLen || len > kMaxResponseLen) return kBadResponseLength;
  std::uint8_t sum = 0;
  for (std::uint32_t i = 5; i <= 5 + len; ++i) sum ^= ctx.rxBuffer[i];
  if (sum != ctx.rxBuffer[6 + len]) return kChecksumError;
  ctx.dataLength = static_cast<std::int32_t>(len - 4);
  const std::uint8_t status = ctx.rxBuffer[kStatusOffset];
  return FromReaderStatus(status);
}

}  // namespace talvex
