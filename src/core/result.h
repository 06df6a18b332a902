// The result code every layer returns: 0 for success, the reader's own status
// bytes as their own numbers, and the system's failures at the numbers below.
// It is a type of its own so that a result can be neither ignored nor mixed up
// with a count or a length. A number becomes a code only explicitly
// (ResultCode{n}, or FromReaderStatus for a status byte), and a code becomes
// a number through ToNumber.
//
// The messages for the codes live in card/result_message.h.
#pragma once

#include <cstdint>

namespace talvex {

enum class [[nodiscard]] ResultCode : std::int32_t{};

inline constexpr ResultCode kOk{0};

// Host side of the reader link.
inline constexpr ResultCode kPortOpenFailed{1};  // open, read or write failed; no transport
inline constexpr ResultCode kReceiveTimeout{2};  // a transport moved fewer bytes than asked
inline constexpr ResultCode kChecksumError{3};   // response checksum mismatch

// Reader status bytes with a meaning of their own to the card sequence.
inline constexpr ResultCode kStatusFindCardFailed{128};    // 0x80
inline constexpr ResultCode kStatusSelectCardFailed{129};  // 0x81
inline constexpr ResultCode kStatusSuccess{144};           // 0x90, never returned
inline constexpr ResultCode kStatusFindCardSuccess{159};   // 0x9F

// Photo decoder returns.
inline constexpr ResultCode kDecoderSdtapiError{256};   // GetBmp returned 0
inline constexpr ResultCode kDecoderPhotoError{257};    // -1
inline constexpr ResultCode kDecoderBadExtension{258};  // -2
inline constexpr ResultCode kDecoderOpenError{259};     // -3
inline constexpr ResultCode kDecoderFormatError{260};   // -4
inline constexpr ResultCode kDecoderDeviceError{262};   // -6
inline constexpr ResultCode kDecoderOtherError{263};    // any other value, or no decoder

// The service's own failures.
inline constexpr ResultCode kOutOfMemory{277};
inline constexpr ResultCode kFileError{278};
inline constexpr ResultCode kBadResponseHead{281};
inline constexpr ResultCode kBadResponseLength{282};
inline constexpr ResultCode kFindCardAnswerError{283};
inline constexpr ResultCode kInfoLengthError{284};
inline constexpr ResultCode kLoadImageFailed{285};
inline constexpr ResultCode kJpegEncodeFailed{287};
inline constexpr ResultCode kUnknownCardKind{289};
// A web page whose origin the service was not told to allow (--allow-origin).
inline constexpr ResultCode kOriginRefused{290};
// A request whose Host names neither this service nor a name the site allows
// (--allow-host): a page reaching it through a name made to resolve here.
inline constexpr ResultCode kHostRefused{291};

// Network failures; they never reach a response body.
inline constexpr ResultCode kSocketError{304};
inline constexpr ResultCode kNetTimeout{305};
inline constexpr ResultCode kPeerClosed{307};
inline constexpr ResultCode kBindFailed{308};
inline constexpr ResultCode kListenFailed{309};
inline constexpr ResultCode kAcceptFailed{310};
inline constexpr ResultCode kEventSelectFailed{311};
inline constexpr ResultCode kEnumEventsFailed{312};
inline constexpr ResultCode kWaitFailed{313};

// The number a result code stands for, as the response body and the logs show it.
constexpr std::int32_t ToNumber(ResultCode code) {
  return static_cast<std::int32_t>(code);
}

// Streams (test failures, reports) show a result code as its number.
template <class Out>
auto operator<<(Out& out, ResultCode code) -> decltype(out << std::int32_t{}) {
  return out << ToNumber(code);
}

// The result of a response whose last status byte is `status`: the reader's
// success statuses 0x90 and 0x00 become kOk; any other status passes through as
// its own number (so 0x01..0x03 read like the host-side failures 1..3).
constexpr ResultCode FromReaderStatus(std::uint8_t status) {
  return status == 0x90 || status == 0x00 ? kOk : ResultCode{status};
}

}  // namespace talvex
