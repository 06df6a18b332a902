// The line settings, port names, timeouts and control codes the Windows
// backend hands to the system.
#include <gtest/gtest.h>

#include "platform/hid.h"
#include "platform/usb.h"
#include "platform/win32/hid_codes.h"
#include "platform/win32/serial_win32.h"

namespace talvex::platform::win32 {
namespace {

TEST(Win32SerialSettings, EveryDcbFieldIsTheReaderLine) {
  const DCB d = ReaderLineSettings(115200);
  EXPECT_EQ(d.DCBlength, sizeof(DCB));
  EXPECT_EQ(d.BaudRate, 115200u);
  EXPECT_EQ(d.fBinary, 1u);
  EXPECT_EQ(d.fParity, 0u);
  EXPECT_EQ(d.fOutxCtsFlow, 0u);
  EXPECT_EQ(d.fOutxDsrFlow, 0u);
  EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(d.fDsrSensitivity, 0u);
  EXPECT_EQ(d.fTXContinueOnXoff, 0u);
  EXPECT_EQ(d.fOutX, 0u);
  EXPECT_EQ(d.fInX, 0u);
  EXPECT_EQ(d.fErrorChar, 0u);
  EXPECT_EQ(d.fNull, 0u);
  EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(d.fAbortOnError, 0u);
  EXPECT_EQ(d.XonLim, 256);
  EXPECT_EQ(d.XoffLim, 768);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_EQ(static_cast<unsigned char>(d.XonChar), 0x11);
  EXPECT_EQ(static_cast<unsigned char>(d.XoffChar), 0x13);
  EXPECT_EQ(static_cast<unsigned char>(d.ErrorChar), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(d.EofChar), 0xA0);
  EXPECT_EQ(static_cast<unsigned char>(d.EvtChar), 0x00);
  EXPECT_EQ(d.wReserved, 0);
  EXPECT_EQ(d.wReserved1, 0);
  EXPECT_EQ(ReaderLineSettings(9600).BaudRate, 9600u);
}

TEST(Win32SerialSettings, PortNamesUseTheDeviceNamespaceInDecimal) {
  EXPECT_EQ(SerialPortName(5), L"\\\\.\\COM5");
  EXPECT_EQ(SerialPortName(10), L"\\\\.\\COM10");
  EXPECT_EQ(SerialPortName(999), L"\\\\.\\COM999");
}

TEST(Win32SerialSettings, TimeoutFieldsLandInTheirCommTimeoutsFields) {
  const COMMTIMEOUTS c = ToCommTimeouts(CommTimeouts{50, 1, 150, 2, 3000});
  EXPECT_EQ(c.ReadIntervalTimeout, 50u);
  EXPECT_EQ(c.ReadTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(c.ReadTotalTimeoutConstant, 150u);
  EXPECT_EQ(c.WriteTotalTimeoutMultiplier, 2u);
  EXPECT_EQ(c.WriteTotalTimeoutConstant, 3000u);
}

TEST(Win32SerialSettings, PortThatDoesNotExistGivesNoHandle) {
  // Port 998 is mapped nowhere in a fresh wine prefix or on a test machine.
  EXPECT_EQ(SystemSerialBackend().Open(998, 115200, CommTimeouts{50, 1, 150, 1, 150}), nullptr);
}

TEST(Win32ControlCodes, MatchTheDriverInterfaces) {
  EXPECT_EQ(kIoctlHidGetManufacturerString, 0x000B01BAu);
  EXPECT_EQ(kIoctlHidGetProductString, 0x000B01BEu);
  EXPECT_EQ(kIoctlHidSetOutputReport, 0x000B0195u);
  EXPECT_EQ(kIoctlHidGetInputReport, 0x000B01A2u);
  EXPECT_EQ(kIoctlReaderSendHead, 0x00222020u);
  EXPECT_EQ(kIoctlReaderSendBody, 0x00222024u);
  EXPECT_EQ(kIoctlReaderReceiveHead, 0x00222028u);
  EXPECT_EQ(kIoctlReaderReceiveBody, 0x0022202Cu);
}

TEST(Win32Discovery, NoReaderDevicesMeansAnEmptyListNotAFailure) {
  // wine (and a machine without readers) has no HID or reader interfaces:
  // the enumeration works and finds nothing of the reader's classes.
  std::vector<DeviceInterface> hid;
  EXPECT_TRUE(SystemHidBackend().Enumerate(&hid));
  for (const DeviceInterface& d : hid) EXPECT_FALSE(d.path.empty());
  std::vector<DeviceInterface> usb;
  EXPECT_TRUE(SystemUsbBackend().Enumerate(&usb));
  for (const DeviceInterface& d : usb) EXPECT_NE(d.classGuid, kReaderDriverClassGuid);
}

}  // namespace
}  // namespace talvex::platform::win32
