// The reader as the service keeps it from one request to the next: the
// remembered transport selector and, while pages listen for cards, the open
// reader itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/result.h"
#include "reader/session.h"

namespace talvex {

// While no reader is found, auto-detection runs at most this often for the
// event streams' probes.
inline constexpr std::int64_t kDetectIntervalMs = 2000;

class ReaderHold {
 public:
  ReaderHold() = default;
  explicit ReaderHold(std::int32_t selector) : selector_(selector) {}
  ReaderHold(const ReaderHold&) = delete;
  ReaderHold& operator=(const ReaderHold&) = delete;

  // 0 until an auto-detection found a reader, then the transport it found.
  std::int32_t& Selector() { return selector_; }
  std::int32_t Selector() const { return selector_; }

  // The reader kept open, or null.
  ReaderContext* Reader() const { return reader_.get(); }

  // Opens the reader and keeps it, unless it is open already. With selector 0
  // an auto-detection runs only when the last one is kDetectIntervalMs past
  // (nowMs is a steady clock's milliseconds); before that this answers 1 at
  // once, as the detection would.
  ResultCode Keep(std::int64_t nowMs);

  // Closes the kept reader; the selector stays.
  void Release() { reader_.reset(); }

 private:
  std::int32_t selector_ = kTransportAuto;
  std::unique_ptr<ReaderContext> reader_;
  bool detected_ = false;  // an auto-detection ran, at lastDetectMs_
  std::int64_t lastDetectMs_ = 0;
};

}  // namespace talvex
