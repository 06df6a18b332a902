// For tests only: discovery with other rules, so that a test can see what
// follows the rules. The service never includes this header.
#pragma once

#include "reader/hid.h"

namespace talvex {

// Other marks for the HID string rule while the scope lasts.
class ScopedHidMarks {
 public:
  explicit ScopedHidMarks(HidMarks marks);
  ~ScopedHidMarks();
  ScopedHidMarks(const ScopedHidMarks&) = delete;
  ScopedHidMarks& operator=(const ScopedHidMarks&) = delete;

 private:
  const HidMarks* saved_;
  HidMarks marks_;
};

}  // namespace talvex
