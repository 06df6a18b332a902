// One card read: open the reader, run the card sequence, build the result
// text for the card's kind, write and decode the photo, close the reader.
#include "card/read_card.h"

#include <chrono>
#include <new>

#include "card/result_text.h"
#include "photo/decode_photo.h"
#include "reader/session.h"

namespace talvex {

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Fills the trace when the read ends, whichever way it ends.
class TraceScope {
 public:
  TraceScope(CardReadTrace* trace, const std::int32_t& selector)
      : trace_(trace), selector_(selector), started_(NowMs()) {}
  ~TraceScope() {
    if (trace_ == nullptr) return;
    trace_->photoMs = photoMs_;
    trace_->readerMs = NowMs() - started_ - photoMs_;
    // A selector that found nothing stays 0; a named one is what was tried.
    trace_->transport = selector_;
  }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;
  std::string* Port() { return trace_ != nullptr ? &trace_->port : nullptr; }
  void PhotoStarted() { photoStarted_ = NowMs(); }
  void PhotoEnded() { photoMs_ = NowMs() - photoStarted_; }

 private:
  CardReadTrace* trace_;
  const std::int32_t& selector_;
  std::int64_t started_;
  std::int64_t photoStarted_ = 0;
  std::int64_t photoMs_ = 0;
};

}  // namespace

ResultCode ReadCard(std::int32_t& selector, const char16_t* photoPath,
                    std::unique_ptr<char[]>& text, std::int32_t& length, CardReadTrace* trace) {
  text.reset();
  length = 0;
  TraceScope scope(trace, selector);

  std::unique_ptr<ReaderContext> context;
  ResultCode rc = OpenReader(selector, context, scope.Port());
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
  scope.PhotoStarted();
  rc = DecodePhoto(context->rxBuffer + kAnswerBlockOffset, photoPath, context->transport);
  scope.PhotoEnded();
  CloseReader(context);
  if (rc != kOk) return rc;  // the text built so far is discarded

  length = static_cast<std::int32_t>(cursor - buffer.get());
  text = std::move(buffer);
  return kOk;
}

}  // namespace talvex
