// Reader discovery through the system's HID backend, without the service:
// lists every HID device interface with the strings and report lengths the
// backend reads for it, then runs the reader discovery itself.
//
//   vm-hid-find
//
// Output, one line each:
//   device <path> manufacturer=<text> product=<text> input=<n> output=<n>
//   reader found input=<n> output=<n>     (or: reader none)
// A device that does not open prints "device <path> unopened".
#include <cstdio>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/utf.h"
#include "reader/hid.h"

namespace {

std::string StringOf(const std::uint8_t (&buffer)[talvex::platform::kHidStringBufferSize]) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < sizeof buffer; i += 2) {
    char16_t unit = static_cast<char16_t>(buffer[i] | buffer[i + 1] << 8);
    if (unit == 0) break;
    text += unit;
  }
  return talvex::Utf16ToUtf8(text);
}

}  // namespace

int main() {
  using namespace talvex::platform;
  HidBackend& backend = SystemHidBackend();
  std::vector<DeviceInterface> devices;
  if (!backend.Enumerate(&devices)) {
    std::printf("enumeration failed\n");
    return 1;
  }
  for (const DeviceInterface& d : devices) {
    std::unique_ptr<HidDevice> dev = backend.Open(d);
    if (!dev) {
      std::printf("device %s unopened\n", d.path.c_str());
      continue;
    }
    std::uint8_t manufacturer[kHidStringBufferSize] = {};
    std::uint8_t product[kHidStringBufferSize] = {};
    std::uint16_t in = 0, out = 0;
    bool okM = dev->GetManufacturerString(manufacturer);
    bool okP = dev->GetProductString(product);
    bool okL = dev->GetReportLengths(&in, &out);
    std::printf("device %s manufacturer=%s product=%s input=%d output=%d\n", d.path.c_str(),
                okM ? StringOf(manufacturer).c_str() : "(failed)",
                okP ? StringOf(product).c_str() : "(failed)", okL ? in : -1, okL ? out : -1);
  }
  std::unique_ptr<HidDevice> reader = talvex::FindHidReader();
  if (!reader) {
    std::printf("reader none\n");
    return 0;
  }
  std::uint16_t in = 0, out = 0;
  reader->GetReportLengths(&in, &out);
  std::printf("reader found input=%d output=%d\n", in, out);
  return 0;
}
