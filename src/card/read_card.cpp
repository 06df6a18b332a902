// One card read: open the reader, run the card sequence, build the result
// text for the card's kind, write and decode the photo, close the reader.
#include "card/read_card.h"

#include <new>

#include "card/result_text.h"
#include "photo/decode_photo.h"
#include "reader/session.h"

namespace talvex {

ResultCode ReadCard(std::int32_t& selector, const char16_t* photoPath,
                    std::unique_ptr<char[]>& text, std::int32_t& length) {
  text.reset();
  length = 0;

  std::unique_ptr<ReaderContext> context;
  ResultCode rc = OpenReader(selector, context);
  if (rc != kOk) return rc;

  std::int32_t kind = 0;
  rc = ReadCardData(*context, kind);
  if (rc != kOk) {
    CloseReader(context);
    return rc;
  }

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kResultTextCapacity]);
  if (!buffer) {
    CloseReader(context);
    return kOutOfMemory;
  }
  buffer[0] = '\0';

  char* cursor = buffer.get();
  const std::uint8_t* cardText = context->rxBuffer + kAnswerTextOffset;
  switch (kind) {
    case kCardResident:
      BuildResidentText(cursor, cardText);
      break;
    case kCardForeign:
      BuildForeignText(cursor, cardText);
      break;
    case kCardHmt:
      BuildHmtText(cursor, cardText);
      break;
    default:
      CloseReader(context);
      return kUnknownCardKind;  // the buffer goes with `buffer`
  }

  // The photo bytes lie in the reader's buffer: decode before closing.
  rc = DecodePhoto(context->rxBuffer + kAnswerBlockOffset, photoPath, context->transport);
  CloseReader(context);
  if (rc != kOk) return rc;  // the text built so far is discarded

  length = static_cast<std::int32_t>(cursor - buffer.get());
  text = std::move(buffer);
  return kOk;
}

}  // namespace talvex
