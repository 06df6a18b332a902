// One card read: open the reader, run the card sequence, build the result
// text for the card's kind, write and decode the photo, close the reader.
#include "flow/read_card.h"

#include <chrono>
#include <new>
#include <span>

#include "card/result_text.h"
#include "flow/reader_hold.h"
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

// Appends the result text of a card of `kind`; false for a kind without one.
bool BuildText(std::int32_t kind, char*& cursor, std::span<const std::uint8_t> text) {
  switch (kind) {
    case kCardResident:
      BuildResidentText(cursor, text.data());
      return true;
    case kCardForeign:
      BuildForeignText(cursor, text.data());
      return true;
    case kCardHmt:
      BuildHmtText(cursor, text.data());
      return true;
    default:
      return false;
  }
}

}  // namespace

ResultCode ReadCard(std::int32_t& selector, const char16_t* photoPath,
                    std::unique_ptr<char[]>& text, std::int32_t& length, CardReadTrace* trace) {
  ReaderHold hold(selector);
  const ResultCode rc = ReadCard(hold, photoPath, text, length, trace);
  selector = hold.Selector();
  return rc;
}

namespace {

ResultCode ReadOpenReader(ReaderContext& reader, const char16_t* photoPath,
                          std::unique_ptr<char[]>& text, std::int32_t& length, TraceScope& scope) {
  CardAnswer answer;
  ResultCode rc = ReadCardData(reader, answer);
  if (rc != kOk) return rc;

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kResultTextCapacity]);
  if (!buffer) return kOutOfMemory;
  buffer[0] = '\0';
  char* cursor = buffer.get();
  if (!BuildText(answer.kind, cursor, answer.text)) return kUnknownCardKind;

  // The photo lies in the reader's buffer: it is decoded while the reader is open.
  scope.PhotoStarted();
  rc = DecodePhoto(answer.photo, photoPath, reader.transport);
  scope.PhotoEnded();
  if (rc != kOk) return rc;  // the text built so far is discarded

  length = static_cast<std::int32_t>(cursor - buffer.get());
  text = std::move(buffer);
  return kOk;
}

}  // namespace

ResultCode ReadCard(ReaderHold& hold, const char16_t* photoPath, std::unique_ptr<char[]>& text,
                    std::int32_t& length, CardReadTrace* trace) {
  text.reset();
  length = 0;
  TraceScope scope(trace, hold.Selector());

  if (ReaderContext* kept = hold.Reader()) {
    if (std::string* port = scope.Port()) *port = kept->port;
    const ResultCode rc = ReadOpenReader(*kept, photoPath, text, length, scope);
    // A reader that failed a read is opened afresh next time.
    if (rc != kOk) hold.Release();
    return rc;
  }

  // Closes when the read ends, whichever way, inside the time the trace reports.
  std::unique_ptr<ReaderContext> reader;
  const ResultCode rc = OpenReader(hold.Selector(), reader, scope.Port());
  if (rc != kOk) return rc;
  return ReadOpenReader(*reader, photoPath, text, length, scope);
}

}  // namespace talvex
