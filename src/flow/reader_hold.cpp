#include "flow/reader_hold.h"

namespace talvex {

ResultCode ReaderHold::Keep(std::int64_t nowMs) {
  if (reader_) return kOk;
  if (selector_ == kTransportAuto) {
    if (detected_ && nowMs - lastDetectMs_ < kDetectIntervalMs) return kPortOpenFailed;
    detected_ = true;
    lastDetectMs_ = nowMs;
  }
  return OpenReader(selector_, reader_);
}

}  // namespace talvex
