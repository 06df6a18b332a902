// What pages listening for cards are told: the service probes the reader
// (find card and select card, two short frames) and reads a card whole only
// once per placement, the first time a probe finds it after one that found
// none. A failure is told once per code, not on every probe.
#pragma once

#include <cstdint>
#include <string>

#include "core/result.h"
#include "flow/reader_hold.h"
#include "flow/whole_read.h"

namespace talvex {

// What one probe comes to for the listeners.
struct WatchStep {
  enum class Send {
    kNothing,
    kCardToAll,        // a card was placed: every listener gets it
    kCardToNewcomers,  // the card at rest, for the listeners that came since
    kFailure,          // a new failure code for every listener
  };
  Send send = Send::kNothing;
  ResultCode code = kOk;  // kFailure: the failure
  std::string body;       // a card: exactly the /readCard body of the read
};

class CardWatch {
 public:
  CardWatch(ReaderHold& hold, const CardPipeline& pipeline) : hold_(hold), pipeline_(pipeline) {}
  CardWatch(const CardWatch&) = delete;
  CardWatch& operator=(const CardWatch&) = delete;

  // One probe at nowMs (a steady clock's milliseconds). newcomers: a
  // listener came since the last probe and has not had the card at rest.
  WatchStep Probe(std::int64_t nowMs, bool newcomers);

  // The failure the listeners were last told of; 0 when none stands.
  ResultCode Failure() const { return failure_; }

  // Nobody listens any more: the reader is closed and what was seen is
  // forgotten, so the next listener gets a card at rest.
  void Quiet();

 private:
  WatchStep Failed(ResultCode code);

  ReaderHold& hold_;
  const CardPipeline& pipeline_;
  bool present_ = false;  // the last probe found a card (and it was read)
  ResultCode failure_ = kOk;
};

}  // namespace talvex
