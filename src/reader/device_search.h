// What HID and USB discovery share: the setup-class test and the walk over a
// backend's device interfaces to the first one that opens and passes.
#pragma once

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid.h"
#include "reader/trace.h"

namespace talvex {

// Setup classes are compared without regard to ASCII case.
bool IsSetupClass(const platform::DeviceInterface& device, std::u16string_view setupClass);

// Walks backend's interfaces in order: one that is not of isClass, does not
// open or that check refuses is passed over with a candidate line; the first
// that opens and passes is handed back, and *path is its path. check takes
// the open device and gives nullptr to take it or the reason token to pass
// it over. Running out of memory ends the search with no device.
template <class Device, class Backend, class IsClass, class Check>
std::unique_ptr<Device> FirstReaderDevice(Backend& backend, const char* transport, IsClass isClass,
                                          const char* wrongClass, Check check, std::string* path) {
  try {
    std::vector<platform::DeviceInterface> interfaces;
    if (!backend.Enumerate(&interfaces)) return nullptr;
    for (const platform::DeviceInterface& candidate : interfaces) {
      if (!isClass(candidate)) {
        LogCandidate(transport, candidate.path, false, wrongClass);
        continue;
      }
      std::unique_ptr<Device> device = backend.Open(candidate);
      if (!device) {  // held by another program, or gone
        LogCandidate(transport, candidate.path, false, kDoesNotOpen);
        continue;
      }
      if (const char* reason = check(*device); reason != nullptr) {
        LogCandidate(transport, candidate.path, false, reason);
        continue;
      }
      *path = candidate.path;
      return device;
    }
  } catch (const std::bad_alloc&) {
  }
  return nullptr;
}

}  // namespace talvex
