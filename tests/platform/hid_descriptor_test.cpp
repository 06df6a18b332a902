// Report lengths from real report descriptors, and malformed or hostile
// descriptors that must be refused without reading past their end.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/hid_descriptor.h"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#include <unistd.h>
#define TALVEX_TEST_GUARD_PAGES 1
#endif

namespace talvex::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The reader's own descriptor: vendor page, 64 bytes in, 64 bytes out.
const Bytes kVendorReader = {
    0x06, 0x00, 0xFF,                                                  // Usage Page (vendor 0xFF00)
    0x09, 0x01,                                                        // Usage (1)
    0xA1, 0x01,                                                        // Collection (Application)
    0x09, 0x02,                                                        //   Usage (2)
    0x15, 0x00,                                                        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,                                                  //   Logical Maximum (255)
    0x75, 0x08,                                                        //   Report Size (8)
    0x95, 0x40,                                                        //   Report Count (64)
    0x81, 0x02,                                                        //   Input (Data, Var, Abs)
    0x09, 0x03,                                                        //   Usage (3)
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02,  //   Output (Data, Var, Abs)
    0xC0,                                                              // End Collection
};

// The boot keyboard of the HID class definition.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,                          // Generic Desktop, Keyboard
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,  // modifier keys
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02,                          // 8 x 1 bit in
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,                          // reserved byte in
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05,  // LEDs
    0x91, 0x02,                                                  // 5 x 1 bit out
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,                          // 3 bits padding out
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07,  // key array
    0x19, 0x00, 0x29, 0x65, 0x81, 0x00,                          // 6 x 8 bits in
    0xC0,
};

// The three-button mouse of the HID class definition.
const Bytes kBootMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00,  // Mouse, Pointer
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01,  // buttons
    0x95, 0x03, 0x75, 0x01, 0x81, 0x02,                          // 3 x 1 bit
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,                          // 5 bits padding
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F,  // X, Y
    0x75, 0x08, 0x95, 0x02, 0x81, 0x06,                          // 2 x 8 bits relative
    0xC0, 0xC0,
};

// A keyboard with numbered reports plus a consumer-control report and a
// vendor feature report, as composite keyboards have them.
const Bytes kNumberedReports = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01,              // Keyboard, Report ID 1
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,  //
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02,                          // 1 byte in
    0x95, 0x07, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x19, 0x00,  //
    0x29, 0x65, 0x81, 0x00,                                      // 7 bytes in
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05,  //
    0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // 1 byte out
    0xC0,                                                        //
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02,              // Consumer, Report ID 2
    0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03,  //
    0x75, 0x10, 0x95, 0x01, 0x81, 0x00,                          // 2 bytes in
    0xC0,                                                        //
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x03,        // Vendor, Report ID 3
    0x75, 0x08, 0x95, 0x20, 0xB1, 0x02,                          // 32 bytes feature
    0xC0,
};

HidReportLengths Lengths(const Bytes& d) {
  HidReportLengths lengths;
  EXPECT_TRUE(ComputeHidReportLengths(d.data(), d.size(), &lengths));
  return lengths;
}

bool Parses(const Bytes& d) {
  HidReportLengths lengths;
  return ComputeHidReportLengths(d.data(), d.size(), &lengths);
}

TEST(HidDescriptorLengths, RealDevices) {
  const HidReportLengths reader = Lengths(kVendorReader);
  EXPECT_EQ(reader.input, 65);
  EXPECT_EQ(reader.output, 65);
  EXPECT_EQ(reader.feature, 0);

  const HidReportLengths keyboard = Lengths(kBootKeyboard);
  EXPECT_EQ(keyboard.input, 9);
  EXPECT_EQ(keyboard.output, 2);
  EXPECT_EQ(keyboard.feature, 0);

  const HidReportLengths mouse = Lengths(kBootMouse);
  EXPECT_EQ(mouse.input, 4);
  EXPECT_EQ(mouse.output, 0);
}

TEST(HidDescriptorLengths, NumberedReportsTakeTheLongestReportOfEachKind) {
  const HidReportLengths lengths = Lengths(kNumberedReports);
  EXPECT_EQ(lengths.input, 9);  // report 1: 8 bytes, not 8 + 2 summed over reports
  EXPECT_EQ(lengths.output, 2);
  EXPECT_EQ(lengths.feature, 33);
}

TEST(HidDescriptorLengths, BitsAreRoundedUpToWholeBytes) {
  // 3 x 1 bit and 1 x 4 bits: 7 bits, one byte.
  const Bytes d = {0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x75, 0x04, 0x95, 0x01, 0x81, 0x02};
  EXPECT_EQ(Lengths(d).input, 2);
  // 9 bits: two bytes.
  const Bytes nine = {0x75, 0x09, 0x95, 0x01, 0x81, 0x02};
  EXPECT_EQ(Lengths(nine).input, 3);
}

TEST(HidDescriptorItems, PushAndPopRestoreReportSizeAndCount) {
  const Bytes d = {
      0x75, 0x08, 0x95, 0x04,  // 4 x 8 bits
      0xA4,                    // Push
      0x75, 0x10, 0x95, 0x08,  // 8 x 16 bits
      0x81, 0x02,              // 16 bytes in
      0xB4,                    // Pop
      0x81, 0x02,              // 4 bytes in
  };
  EXPECT_EQ(Lengths(d).input, 21);
}

TEST(HidDescriptorItems, FourByteDataAndLongItems) {
  const Bytes d = {
      0x75, 0x08,                          // Report Size 8
      0x97, 0x40, 0x00, 0x00, 0x00,        // Report Count 64, four data bytes
      0xFE, 0x03, 0x10, 0x95, 0x7F, 0x81,  // long item whose data looks like items
      0x81, 0x02,                          // 64 bytes in
  };
  EXPECT_EQ(Lengths(d).input, 65);
}

TEST(HidDescriptorItems, LocalAndReservedItemsDoNotChangeLengths) {
  Bytes d = kVendorReader;
  d.insert(d.begin() + 7, {0x19, 0x01, 0x29, 0x08, 0x3C, 0x00});  // usage range, reserved type
  EXPECT_EQ(Lengths(d).input, 65);
}

TEST(HidDescriptorMalformed, StructuralErrorsAreRefused) {
  EXPECT_FALSE(Parses({0xB4}));                    // Pop without Push
  EXPECT_FALSE(Parses({0xC0}));                    // End Collection without Collection
  EXPECT_FALSE(Parses({0xA1, 0x01}));              // Collection never closed
  EXPECT_FALSE(Parses({0x85, 0x00, 0x81, 0x02}));  // report ID 0
  EXPECT_FALSE(Parses({0x86, 0x00, 0x01}));        // report ID 256
  Bytes deep(16, 0xA4);
  EXPECT_TRUE(Parses(deep));
  deep.push_back(0xA4);
  EXPECT_FALSE(Parses(deep));  // 17 pushes
}

TEST(HidDescriptorMalformed, HugeReportsAreRefusedRatherThanWrapped) {
  // 0xFFFFFFFF x 0xFFFFFFFF bits would wrap a 64-bit total several times over.
  EXPECT_FALSE(Parses({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02}));
  // 65534 bytes fit, one more does not.
  EXPECT_TRUE(Parses({0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02}));
  EXPECT_FALSE(Parses({0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02, 0x95, 0x01, 0x81, 0x02}));
}

TEST(HidDescriptorMalformed, ItemsCutShortByTheEndAreRefused) {
  EXPECT_FALSE(Parses({0x75}));                    // one data byte missing
  EXPECT_FALSE(Parses({0x97, 0x40, 0x00, 0x00}));  // four-byte item with three
  EXPECT_FALSE(Parses({0xFE}));                    // long item without its size
  EXPECT_FALSE(Parses({0xFE, 0x05, 0x10, 0x01}));  // long item claiming 5 data bytes
}

#ifdef TALVEX_TEST_GUARD_PAGES
// Places `d` at the very end of a readable page followed by an unreadable
// one, so a read past the end faults at once.
class GuardedBytes {
 public:
  explicit GuardedBytes(const Bytes& d) {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* p =
        ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    base_ = static_cast<std::uint8_t*>(p);
    ::mprotect(base_ + page_, page_, PROT_NONE);
    data_ = base_ + page_ - d.size();
    if (!d.empty()) std::memcpy(data_, d.data(), d.size());
  }
  ~GuardedBytes() { ::munmap(base_, 2 * page_); }
  const std::uint8_t* data() const { return data_; }

 private:
  std::size_t page_ = 0;
  std::uint8_t* base_ = nullptr;
  std::uint8_t* data_ = nullptr;
};

TEST(HidDescriptorMalformed, EveryTruncationOfRealDescriptorsStaysInsideTheBytes) {
  for (const Bytes* full : {&kVendorReader, &kBootKeyboard, &kBootMouse, &kNumberedReports}) {
    // In each of them the first 0xA1 byte opens the first collection and the
    // first 0xC0 byte closes the innermost one; no data byte takes either value.
    std::size_t opened = 0;
    while ((*full)[opened] != 0xA1) ++opened;
    opened += 2;
    std::size_t closed = opened;
    while ((*full)[closed] != 0xC0) ++closed;
    for (std::size_t n = 0; n <= full->size(); ++n) {
      const Bytes cut(full->begin(), full->begin() + static_cast<std::ptrdiff_t>(n));
      GuardedBytes guarded(cut);
      HidReportLengths lengths;
      const bool ok = ComputeHidReportLengths(guarded.data(), n, &lengths);
      // Cut anywhere after the collection opened, it is left open (or an
      // item is cut short): refused.
      if (n >= opened && n <= closed) {
        EXPECT_FALSE(ok) << "cut at " << n;
      }
      if (n == full->size()) {
        EXPECT_TRUE(ok);
      }
    }
  }
}

TEST(HidDescriptorMalformed, ItemPrefixesAsTheLastByteStayInsideTheBytes) {
  for (int prefix = 0; prefix < 256; ++prefix) {
    GuardedBytes guarded({static_cast<std::uint8_t>(prefix)});
    HidReportLengths lengths;
    const bool ok = ComputeHidReportLengths(guarded.data(), 1, &lengths);
    // A lone prefix is only complete when its item has no data.
    if ((prefix & 0x3) != 0 || prefix == 0xFE) {
      EXPECT_FALSE(ok) << prefix;
    }
  }
}
#endif

}  // namespace
}  // namespace talvex::platform
