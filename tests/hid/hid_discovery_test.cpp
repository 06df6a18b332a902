// Which HID device discovery takes: class, exclusive open, the string check
// in its one shared buffer, and the report-size check without resumption.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "platform/devices.h"
#include "reader/hid.h"
#include "reader/usb.h"
#include "support/fake-devices/fake_devices.h"

namespace talvex {
namespace {

using fakedev::FakeHidBackend;
using fakedev::FakeHidConfig;

FakeHidConfig Device(std::string path, std::u16string manufacturer = u"KAVRO Technology",
                     std::u16string product = u"TalvexReaderDevice") {
  FakeHidConfig config;
  config.path = std::move(path);
  config.manufacturer = std::move(manufacturer);
  config.product = std::move(product);
  return config;
}

class HidDiscoveryTest : public ::testing::Test {
 protected:
  // Index of the device FindHidReader took (by which one is open), or -1.
  int Taken() {
    found_ = FindHidReader();
    if (!found_) return -1;
    int open = -1;
    for (std::size_t i = 0; i < backend_.Size(); ++i) {
      if (backend_.Log(i).opens > backend_.Log(i).closes) open = static_cast<int>(i);
    }
    EXPECT_EQ(backend_.OpenDevices(), 1);
    return open;
  }
  bool Accepts(std::u16string manufacturer, std::u16string product) {
    FakeHidBackend backend;
    backend.Add(Device("only", std::move(manufacturer), std::move(product)));
    platform::ScopedDeviceBackends scope({nullptr, &backend, nullptr});
    return FindHidReader() != nullptr;
  }

  FakeHidBackend backend_;
  platform::ScopedDeviceBackends scope_{{nullptr, &backend_, nullptr}};
  std::unique_ptr<platform::HidDevice> found_;
};

TEST_F(HidDiscoveryTest, StringsAreCaseSensitiveSubstringsAnywhere) {
  EXPECT_TRUE(Accepts(u"KAVRO Technology", u"TalvexReaderDevice"));
  EXPECT_TRUE(Accepts(u"Made by KAVRO", u"USB TalvexReaderDevice v2"));
  EXPECT_FALSE(Accepts(u"kavro Technology", u"TalvexReaderDevice"));
  EXPECT_FALSE(Accepts(u"Kavro", u"TalvexReaderDevice"));
  EXPECT_FALSE(Accepts(u"KAVRO", u"TalvexReaderdevice"));
  EXPECT_FALSE(Accepts(u"KAVR0", u"TalvexReaderDevice"));
  EXPECT_FALSE(Accepts(u"", u"TalvexReaderDevice"));
  // The marks must not be looked for in the wrong string.
  EXPECT_FALSE(Accepts(u"TalvexReaderDevice", u"KAVRO"));
}

TEST_F(HidDiscoveryTest, OnlyTheFirst127UnitsOfAStringCount) {
  // 122 + 5 = 127 units: the mark ends on the last unit the buffer keeps.
  EXPECT_TRUE(Accepts(std::u16string(122, u'x') + u"KAVRO", u"TalvexReaderDevice"));
  // 128 units fill the buffer with no terminator; the last unit is not text.
  EXPECT_FALSE(Accepts(std::u16string(123, u'x') + u"KAVRO", u"TalvexReaderDevice"));
}

TEST_F(HidDiscoveryTest, ProductIsReadIntoTheBufferTheManufacturerLeftBehind) {
  FakeHidConfig unterminated = Device("a", u"KAVRO Corp. Device", u"TalvexReader");
  unterminated.terminateStrings = false;
  backend_.Add(unterminated);
  // Without a terminator the product shows the manufacturer's tail "Device".
  EXPECT_EQ(Taken(), 0);
}

TEST_F(HidDiscoveryTest, ATerminatedShortProductHidesTheManufacturerTail) {
  backend_.Add(Device("a", u"KAVRO Corp. Device", u"TalvexReader"));
  backend_.Add(Device("b", u"KAVRO TalvexReaderDevice", u"Keyboard"));
  backend_.Add(Device("c"));
  EXPECT_EQ(Taken(), 2);
}

TEST_F(HidDiscoveryTest, ClassIsComparedWithoutCaseAndOtherClassesAreNeverOpened) {
  FakeHidConfig other = Device("other");
  other.classGuid = u"{4D36E96F-E325-11CE-BFC1-08002BE10318}";
  FakeHidConfig lower = Device("lower");
  lower.classGuid = u"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
  backend_.Add(other);
  backend_.Add(lower);
  EXPECT_EQ(Taken(), 1);
  EXPECT_EQ(backend_.Log(0).opens, 0);
}

TEST_F(HidDiscoveryTest, MatchingDeviceWithWrongReportSizesEndsTheSearchWithNone) {
  FakeHidConfig small = Device("small");
  small.inputReportLength = 33;
  small.outputReportLength = 33;
  backend_.Add(small);
  backend_.Add(Device("good"));
  EXPECT_EQ(FindHidReader(), nullptr);
  EXPECT_EQ(backend_.Log(1).opens, 0);
  EXPECT_EQ(backend_.OpenDevices(), 0);
}

TEST_F(HidDiscoveryTest, BothReportLengthsMustBe65) {
  for (auto [in, out] : {std::pair<int, int>{65, 64}, {64, 65}, {66, 65}, {65, 0}}) {
    FakeHidBackend backend;
    FakeHidConfig config = Device("d");
    config.inputReportLength = static_cast<std::uint16_t>(in);
    config.outputReportLength = static_cast<std::uint16_t>(out);
    backend.Add(config);
    platform::ScopedDeviceBackends scope({nullptr, &backend, nullptr});
    EXPECT_EQ(FindHidReader(), nullptr) << in << "/" << out;
  }
  FakeHidConfig noCaps = Device("nocaps");
  noCaps.capabilitiesFail = true;
  backend_.Add(noCaps);
  EXPECT_EQ(FindHidReader(), nullptr);
}

TEST_F(HidDiscoveryTest, DeviceHeldByAnotherProgramIsSkipped) {
  FakeHidConfig held = Device("held");
  held.held = true;
  backend_.Add(held);
  backend_.Add(Device("free"));
  EXPECT_EQ(Taken(), 1);
  EXPECT_EQ(backend_.Log(0).refusedOpens, 1);
}

TEST_F(HidDiscoveryTest, FailedStringRequestsRejectTheDeviceAndCloseIt) {
  FakeHidConfig noManufacturer = Device("m");
  noManufacturer.manufacturerFails = true;
  FakeHidConfig noProduct = Device("p");
  noProduct.productFails = true;
  FakeHidConfig wrongMaker = Device("w", u"Other Inc.");
  backend_.Add(noManufacturer);
  backend_.Add(noProduct);
  backend_.Add(wrongMaker);
  backend_.Add(Device("good"));
  EXPECT_EQ(Taken(), 3);
  // A failed manufacturer check never asks for the product.
  EXPECT_EQ(backend_.Log(0).productRequests, 0);
  EXPECT_EQ(backend_.Log(2).productRequests, 0);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(backend_.Log(i).closes, 1) << i;
  // Report sizes are asked of the taken device only.
  EXPECT_EQ(backend_.Log(1).capabilityRequests, 0);
}

TEST_F(HidDiscoveryTest, FirstGoodDeviceEndsTheSearch) {
  backend_.Add(Device("first"));
  backend_.Add(Device("second"));
  EXPECT_EQ(Taken(), 0);
  EXPECT_EQ(backend_.Log(1).opens, 0);
}

TEST_F(HidDiscoveryTest, NoDevicesOrAFailedEnumerationGiveNone) {
  EXPECT_EQ(FindHidReader(), nullptr);
  backend_.Add(Device("good"));
  backend_.SetEnumerationFails(true);
  EXPECT_EQ(FindHidReader(), nullptr);
  EXPECT_EQ(backend_.Log(0).opens, 0);
}

}  // namespace
}  // namespace talvex

namespace talvex {
namespace {

// Enumeration that runs out of memory.
class ExhaustedHidBackend : public platform::HidBackend {
 public:
  bool Enumerate(std::vector<platform::DeviceInterface>*) override { throw std::bad_alloc(); }
  std::unique_ptr<platform::HidDevice> Open(const platform::DeviceInterface&) override {
    return nullptr;
  }
};

class ExhaustedUsbBackend : public platform::UsbBackend {
 public:
  bool Enumerate(std::vector<platform::DeviceInterface>*) override { throw std::bad_alloc(); }
  std::unique_ptr<platform::UsbDevice> Open(const platform::DeviceInterface&) override {
    return nullptr;
  }
};

TEST(DiscoveryOutOfMemory, EndsTheSearchWithNoDevice) {
  ExhaustedHidBackend hid;
  ExhaustedUsbBackend usb;
  platform::ScopedDeviceBackends scope({nullptr, &hid, &usb});
  EXPECT_EQ(FindHidReader(), nullptr);
  EXPECT_EQ(FindUsbReader(), nullptr);
}

}  // namespace
}  // namespace talvex
