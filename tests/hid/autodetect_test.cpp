// Auto-detection order seen from the HID and USB side: HID before the USB
// driver before the serial scan, and the transport written into the selector.
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "reader-sim/engine.h"
#include "reader-sim/sim_serial.h"
#include "reader/session.h"
#include "support/fake-devices/fake_devices.h"

namespace talvex {
namespace {

using sim::Command;

class AutoDetectTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetStartupCommandForTesting(); }
  void TearDown() override { ResetStartupCommandForTesting(); }

  void AddHidReader() {
    fakedev::FakeHidConfig config;
    config.responder = fakedev::EngineResponder(hidEngine_);
    hid_.Add(config);
  }
  void AddUsbReader() {
    fakedev::FakeUsbConfig config;
    config.responder = fakedev::EngineResponder(usbEngine_);
    usb_.Add(config);
  }

  sim::Engine hidEngine_{sim::SampleCard(sim::SampleKind::Resident)};
  sim::Engine usbEngine_{sim::SampleCard(sim::SampleKind::Resident)};
  sim::Engine serialEngine_{sim::SampleCard(sim::SampleKind::Resident)};
  fakedev::FakeHidBackend hid_;
  fakedev::FakeUsbBackend usb_;
  sim::SimSerialBackend serial_;
  platform::ScopedDeviceBackends scope_{{&serial_, &hid_, &usb_}};
};

TEST_F(AutoDetectTest, HidReaderWinsOverUsbAndSerial) {
  AddHidReader();
  AddUsbReader();
  serial_.Attach(4, &serialEngine_);
  std::int32_t selector = 0;
  std::unique_ptr<ReaderContext> ctx;
  ASSERT_EQ(OpenReader(selector, ctx), kOk);
  EXPECT_EQ(selector, kTransportHid);
  EXPECT_EQ(hidEngine_.Count(Command::Probe), 1u);
  EXPECT_EQ(hidEngine_.Count(Command::Startup), 1u);
  EXPECT_EQ(usb_.Log(0).opens, 0);
  EXPECT_EQ(serial_.TotalOpens(), 0);
  CardAnswer answer;
  EXPECT_EQ(ReadCardData(*ctx, answer), kOk);
  ctx.reset();
  EXPECT_EQ(hid_.OpenDevices(), 0);

  // The next read goes straight to the HID reader: no probe, no start-up.
  ASSERT_EQ(OpenReader(selector, ctx), kOk);
  EXPECT_EQ(hidEngine_.Count(Command::Probe), 1u);
  EXPECT_EQ(hidEngine_.Count(Command::Startup), 1u);
  ctx.reset();
}

TEST_F(AutoDetectTest, UsbReaderIsTakenWhenThereIsNoHidReader) {
  AddUsbReader();
  serial_.Attach(4, &serialEngine_);
  std::int32_t selector = 0;
  std::unique_ptr<ReaderContext> ctx;
  ASSERT_EQ(OpenReader(selector, ctx), kOk);
  EXPECT_EQ(selector, kTransportUsb);
  EXPECT_EQ(usbEngine_.Count(Command::Probe), 1u);
  EXPECT_EQ(usbEngine_.Count(Command::Startup), 1u);
  EXPECT_EQ(serial_.TotalOpens(), 0);
  ctx.reset();
  EXPECT_EQ(usb_.OpenDevices(), 0);
}

TEST_F(AutoDetectTest, HidReaderThatFailsTheProbeIsClosedAndUsbIsTried) {
  AddHidReader();
  hid_.Config(0).responder = nullptr;  // never answers
  AddUsbReader();
  std::int32_t selector = 0;
  std::unique_ptr<ReaderContext> ctx;
  ASSERT_EQ(OpenReader(selector, ctx), kOk);
  EXPECT_EQ(selector, kTransportUsb);
  EXPECT_EQ(hid_.Log(0).opens, 1);
  EXPECT_EQ(hid_.Log(0).closes, 1);
  ctx.reset();
}

TEST_F(AutoDetectTest, SerialScanComesLastAndItsPortBecomesTheSelector) {
  fakedev::FakeHidConfig keyboard;
  keyboard.manufacturer = u"Logi";
  keyboard.product = u"Keyboard";
  hid_.Add(keyboard);
  fakedev::FakeUsbConfig silent;
  usb_.Add(silent);  // of the reader class but never answers
  serial_.Attach(4, &serialEngine_);
  std::int32_t selector = 0;
  std::unique_ptr<ReaderContext> ctx;
  ASSERT_EQ(OpenReader(selector, ctx), kOk);
  EXPECT_EQ(selector, 4);
  EXPECT_EQ(hid_.Log(0).closes, 1);
  EXPECT_EQ(usb_.Log(0).closes, 1);
  EXPECT_EQ(serialEngine_.Count(Command::Startup), 1u);
  ctx.reset();
}

}  // namespace
}  // namespace talvex
