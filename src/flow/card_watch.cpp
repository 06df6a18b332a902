#include "flow/card_watch.h"

#include <new>

#include "reader/session.h"

namespace talvex {

namespace {

// The reader's answers for "no card on the reader".
bool IsNoCard(ResultCode code) {
  return code == kStatusFindCardFailed || code == kStatusSelectCardFailed;
}

}  // namespace

WatchStep CardWatch::Failed(ResultCode code) {
  if (code == failure_) return {};
  failure_ = code;
  WatchStep step;
  step.send = WatchStep::Send::kFailure;
  step.code = code;
  return step;
}

WatchStep CardWatch::Probe(std::int64_t nowMs, bool newcomers) {
  const bool wasOpen = hold_.Reader() != nullptr;
  bool found = false;
  ResultCode rc = hold_.Keep(nowMs);
  if (rc == kOk) rc = ProbeCardPresence(*hold_.Reader(), &found);
  if (rc != kOk && wasOpen) {
    // A reader kept open since the last probe may have gone away and come
    // back (or been replaced): it is opened once afresh before the failure
    // counts.
    hold_.Release();
    rc = hold_.Keep(nowMs);
    if (rc == kOk) rc = ProbeCardPresence(*hold_.Reader(), &found);
  }
  if (rc != kOk) {
    hold_.Release();
    present_ = false;
    return Failed(rc);
  }
  if (!found) {
    present_ = false;
    failure_ = kOk;
    return {};
  }
  if (present_ && !newcomers) return {};

  const bool placed = !present_;
  CardReadResult read;
  try {
    read = ReadWholeCard(hold_, pipeline_);
  } catch (const std::bad_alloc&) {
    read.code = kOutOfMemory;
  }
  if (read.code == kOk) {
    present_ = true;
    failure_ = kOk;
    WatchStep step;
    step.send = placed ? WatchStep::Send::kCardToAll : WatchStep::Send::kCardToNewcomers;
    step.body = std::move(read.body);
    return step;
  }
  if (IsNoCard(read.code)) {
    // Lifted between the probe and the read.
    present_ = false;
    return {};
  }
  // A card that could not be read is tried again on the next probe, unless
  // it was only the card at rest for newcomers.
  present_ = !placed;
  return Failed(read.code);
}

void CardWatch::Quiet() {
  hold_.Release();
  present_ = false;
  failure_ = kOk;
}

}  // namespace talvex
