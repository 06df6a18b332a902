// One card read from the reader's side: open a reader (by selector or by
// auto-detection), run find card / select card / read base message, release.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/result.h"
#include "reader/frame.h"
#include "reader/transport.h"

namespace talvex {

// Transport selector values.
inline constexpr std::int32_t kTransportAuto = 0;
inline constexpr std::int32_t kTransportUsb = 1001;
inline constexpr std::int32_t kTransportHid = 2001;
inline constexpr std::int32_t kBaudRate = 115200;

struct ReaderContext {
  std::int32_t transport = 0;
  std::int32_t baudRate = 0;
  std::int32_t dataLength = 0;
  TransportSlot device;  // none while nothing is open
  // The device as the log names it: the HID or USB device path, COMn.
  std::string port;
  std::uint8_t rxBuffer[kRxBufferSize] = {};
};

// Card kinds. A card-type unit that is an ASCII capital letter other than
// "I" and "J" names a kind Talvex cannot decode (such as the foreign
// permanent resident card issued since December 2023, "Y"): its kind is
// kCardUnknown, whose text no one builds. Any other unit, a space included,
// is a resident identity card.
inline constexpr std::int32_t kCardUnknown = 0;
inline constexpr std::int32_t kCardResident = 1;
inline constexpr std::int32_t kCardForeign = 2;
inline constexpr std::int32_t kCardHmt = 3;

// The kind that the card-type unit (text block offset 248, a UTF-16 unit)
// names.
std::int32_t CardKindOf(std::uint16_t cardTypeUnit);

// The card's blocks in the answer to read base message, as views into the
// reader's buffer: valid until the reader exchanges another frame or closes.
struct CardAnswer {
  std::int32_t kind = 0;                // kCardResident, kCardForeign, kCardHmt or kCardUnknown
  std::span<const std::uint8_t> text;   // the text block, 256 bytes or more
  std::span<const std::uint8_t> photo;  // the compressed photo, 512 bytes or more
};

// Opens a reader. context is reset to none first; on 0 it holds the open
// reader. On any other result nothing is left open or allocated. An
// auto-detection writes the transport it found into selector. port, when
// given, is set to the device that was opened (the reader's ctx.port), also
// when its start-up command then failed; "" when none opened.
ResultCode OpenReader(std::int32_t& selector, std::unique_ptr<ReaderContext>& context,
                      std::string* port = nullptr);

// Runs the card sequence; on 0 `answer` holds the card's kind and blocks. On
// any failure it is left empty. The reader closes when its record goes.
ResultCode ReadCardData(ReaderContext& ctx, CardAnswer& answer);

// Whether a card lies on the open reader: the find card and select card
// frames of a read, and no more. On 0 *present tells: select card answered
// 0x90. A find card of 0x80 or 0x9F goes on as in a read; a select card of
// 0x81 is the reader's "no card". Any other answer is returned as ReadCardData
// would return it (283 for a find card of 0x90).
ResultCode ProbeCardPresence(ReaderContext& ctx, bool* present);

// The process-wide "start-up command sent" flag. Tests reset it to play a
// fresh process; nothing else ever clears it.
bool StartupCommandSent();
void ResetStartupCommandForTesting();

}  // namespace talvex
