#include "reader/device_search.h"

namespace talvex {
namespace {

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

}  // namespace

bool IsSetupClass(const platform::DeviceInterface& device, std::u16string_view setupClass) {
  const std::u16string_view a = device.classGuid;
  if (a.size() != setupClass.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(setupClass[i])) return false;
  }
  return true;
}

}  // namespace talvex
