// The transport over the context's device: its kind comes from the type of
// device it was given, and the selector decides which kind an exchange needs.
#include "reader/transport.h"

#include <gtest/gtest.h>

#include "reader/session.h"
#include "support/fake_reader.h"

namespace talvex {
namespace {

TEST(TransportKinds, SelectorsNameTheirTransport) {
  EXPECT_EQ(TransportKindOf(-3), TransportKind::kSerial);
  EXPECT_EQ(TransportKindOf(7), TransportKind::kSerial);
  EXPECT_EQ(TransportKindOf(999), TransportKind::kSerial);
  EXPECT_EQ(TransportKindOf(kTransportUsb), TransportKind::kUsb);
  EXPECT_EQ(TransportKindOf(kTransportHid), TransportKind::kHid);
  for (std::int32_t t : {1000, 1002, 2000, 2002}) {
    EXPECT_EQ(TransportKindOf(t), TransportKind::kNone) << t;
  }
}

TEST(TransportSlot, TakesTheKindOfTheDeviceItIsGiven) {
  test::FakeLine line;
  TransportSlot slot;
  EXPECT_EQ(slot, nullptr);
  slot = std::make_unique<test::FakeSerialPort>(line);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->Kind(), TransportKind::kSerial);
  EXPECT_EQ(slot->Describe("COM7"), "serial COM7");

  struct NotAReader : platform::DeviceHandle {};
  slot = std::make_unique<NotAReader>();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->Kind(), TransportKind::kNone);

  slot = std::unique_ptr<platform::SerialPort>();
  EXPECT_EQ(slot, nullptr);
}

}  // namespace
}  // namespace talvex
