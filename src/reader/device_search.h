// What HID and USB discovery share: the setup-class test and the walk over a
// backend's device interfaces to the one that ends it.
#pragma once

#include <new>
#include <string_view>
#include <vector>

#include "platform/hid.h"

namespace talvex {

// Setup classes are compared without regard to ASCII case.
bool IsSetupClass(const platform::DeviceInterface& device, std::u16string_view setupClass);

// Walks backend's interfaces in order, handing each to visit(candidate,
// reached), which applies the rules (and logs and reports the candidate) and
// answers whether the walk ends at it. The walk stops there, unless `survey`
// asks it to go on to the end, with reached false for every later candidate.
// False when the backend could not list its devices. Running out of memory
// ends the walk (visit keeps what it took).
template <class Backend, class Visit>
bool WalkDevices(Backend& backend, bool survey, Visit visit) {
  try {
    std::vector<platform::DeviceInterface> interfaces;
    if (!backend.Enumerate(&interfaces)) return false;
    bool ended = false;
    for (const platform::DeviceInterface& candidate : interfaces) {
      if (visit(candidate, !ended)) ended = true;
      if (ended && !survey) break;
    }
  } catch (const std::bad_alloc&) {
  }
  return true;
}

}  // namespace talvex
