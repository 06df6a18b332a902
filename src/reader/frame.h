// The reader's frame protocol: the five request frames and the exchange of one
// request frame for one checked response frame.
#pragma once

#include <cstdint>

#include "core/result.h"

namespace talvex {

struct ReaderContext;

inline constexpr std::uint32_t kRxBufferSize = 2368;  // 7 + the largest LEN, 2361
inline constexpr std::uint32_t kMinResponseLen = 4;
inline constexpr std::uint32_t kMaxResponseLen = 2361;
inline constexpr std::uint32_t kFrameHeadSize = 7;  // preamble and LEN

inline constexpr std::uint8_t kStartupFrame[11] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00,
                                                   0x04, 0x61, 0xFF, 0xC0, 0x5A};
inline constexpr std::uint8_t kProbeFrame[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                 0x00, 0x03, 0x12, 0xFF, 0xEE};
inline constexpr std::uint8_t kFindCardFrame[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                    0x00, 0x03, 0x20, 0x01, 0x22};
inline constexpr std::uint8_t kSelectCardFrame[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                      0x00, 0x03, 0x20, 0x02, 0x21};
inline constexpr std::uint8_t kReadBaseMessageFrame[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                                           0x00, 0x03, 0x30, 0x01, 0x32};

// Sends one request over the context's transport and receives and checks one
// response into its rxBuffer. ctx.transport names the transport the device
// must be: below 1000 serial, 1001 USB driver, 2001 HID; anything else, or a
// device of another kind, is 1 without any I/O.
ResultCode ExchangeFrame(ReaderContext& ctx, const std::uint8_t* request, std::uint32_t length);

// The checks shared by all transports, for use inside a transport exchange.
// CheckResponseHead: preamble (281) and LEN range (282) of rxBuffer[0..6];
// on 0 *len is LEN.
ResultCode CheckResponseHead(const ReaderContext& ctx, std::uint32_t* len);
// FinishResponse: checksum (3), data length, status pass-through.
ResultCode FinishResponse(ReaderContext& ctx, std::uint32_t len);

}  // namespace talvex
