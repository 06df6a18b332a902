// The Linux hidraw backend on a sysfs and /dev tree of the test's own:
// enumeration order, exclusive open, where the strings come from, and report
// lengths from the report descriptor.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/posix/hidraw_posix.h"
#include "platform/posix/unique_fd.h"

namespace talvex::platform::posix {
namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::u16string BufferText(const std::uint8_t (&buffer)[kHidStringBufferSize]) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < kHidStringBufferSize; i += 2) {
    const char16_t unit = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

const std::string kReaderDescriptor = {'\x06', '\x00', '\xFF', '\x09', '\x01', '\xA1',
                                       '\x01', '\x75', '\x08', '\x95', '\x40', '\x81',
                                       '\x02', '\x95', '\x40', '\x91', '\x02', '\xC0'};

class HidrawBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/talvex-hidraw-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    classDir_ = root_ / "class";
    devDir_ = root_ / "dev";
    fs::create_directories(classDir_);
    fs::create_directories(devDir_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // hidrawN whose HID device sits at devices/<hidDevice>, with a node in dev/.
  fs::path AddNode(int n, const fs::path& hidDevice, const std::string& uevent) {
    const fs::path device = root_ / "devices" / hidDevice;
    WriteText(device / "uevent", uevent);
    WriteText(device / "report_descriptor", kReaderDescriptor);
    const fs::path node = classDir_ / ("hidraw" + std::to_string(n));
    fs::create_directories(node);
    fs::create_directory_symlink(device, node / "device");
    WriteText(devDir_ / ("hidraw" + std::to_string(n)), "");
    return device;
  }
  HidrawBackend Backend() const { return HidrawBackend(classDir_.string(), devDir_.string()); }
  DeviceInterface Interface(int n) const {
    return {(devDir_ / ("hidraw" + std::to_string(n))).string(), kHidClassGuid};
  }

  fs::path root_, classDir_, devDir_;
};

TEST_F(HidrawBackendTest, NodesAreListedInNumericOrderAsHidClass) {
  for (int n : {10, 2, 1}) AddNode(n, "hid" + std::to_string(n), "HID_ID=0003:0:0\n");
  fs::create_directories(classDir_ / "hidrawx");
  fs::create_directories(classDir_ / "hidraw");
  fs::create_directories(classDir_ / "other3");
  std::vector<DeviceInterface> list;
  ASSERT_TRUE(Backend().Enumerate(&list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].path, (devDir_ / "hidraw1").string());
  EXPECT_EQ(list[1].path, (devDir_ / "hidraw2").string());
  EXPECT_EQ(list[2].path, (devDir_ / "hidraw10").string());
  for (const auto& d : list) EXPECT_EQ(d.classGuid, kHidClassGuid);
}

TEST_F(HidrawBackendTest, NoHidrawClassMeansNoDevices) {
  HidrawBackend backend((root_ / "missing").string(), devDir_.string());
  std::vector<DeviceInterface> list{{"stale", u""}};
  EXPECT_TRUE(backend.Enumerate(&list));
  EXPECT_TRUE(list.empty());
}

TEST_F(HidrawBackendTest, NodeLockedByAnotherProgramDoesNotOpen) {
  AddNode(0, "hid0", "HID_ID=0003:0:0\n");
  UniqueFd other(::open((devDir_ / "hidraw0").c_str(), O_RDWR));
  ASSERT_TRUE(other);
  ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
  HidrawBackend backend = Backend();
  EXPECT_EQ(backend.Open(Interface(0)), nullptr);
  other.reset();
  auto device = backend.Open(Interface(0));
  ASSERT_NE(device, nullptr);
  // While we hold it, nobody else gets it either.
  EXPECT_EQ(backend.Open(Interface(0)), nullptr);
}

TEST_F(HidrawBackendTest, UsbDeviceStringsComeFromTheUsbParent) {
  const fs::path usb = root_ / "devices" / "usb1" / "1-2";
  WriteText(usb / "idVendor", "1234\n");
  WriteText(usb / "manufacturer", "KAVRO Technology\n");
  WriteText(usb / "product", "TalvexReaderDevice\n");
  AddNode(3, "usb1/1-2/1-2:1.0/0003:1234:5678.0003",
          "DRIVER=hid-generic\nHID_ID=0003:00001234:00005678\nHID_NAME=Something Else\n");
  auto device = Backend().Open(Interface(3));
  ASSERT_NE(device, nullptr);
  std::uint8_t buffer[kHidStringBufferSize];
  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_TRUE(device->GetManufacturerString(buffer));
  EXPECT_EQ(BufferText(buffer), u"KAVRO Technology");  // newline dropped
  EXPECT_EQ(buffer[34], 0xEE);                         // past the terminator: untouched
  ASSERT_TRUE(device->GetProductString(buffer));
  EXPECT_EQ(BufferText(buffer), u"TalvexReaderDevice");
}

TEST_F(HidrawBackendTest, UsbDeviceWithoutAStringFailsThatRequest) {
  const fs::path usb = root_ / "devices" / "usb1" / "1-3";
  WriteText(usb / "idVendor", "1234\n");
  WriteText(usb / "product", "TalvexReaderDevice\n");
  AddNode(5, "usb1/1-3/1-3:1.0/0003:1234:5678.0005", "HID_ID=0003:00001234:00005678\n");
  auto device = Backend().Open(Interface(5));
  ASSERT_NE(device, nullptr);
  std::uint8_t buffer[kHidStringBufferSize] = {};
  EXPECT_FALSE(device->GetManufacturerString(buffer));
  EXPECT_TRUE(device->GetProductString(buffer));
}

TEST_F(HidrawBackendTest, DeviceOffUsbDoesNotBorrowAUsbLookingParentsStrings) {
  // A Bluetooth HID device (bus 0005) below a directory that has USB
  // attributes: its strings are the kernel's name for it, which a plain file
  // standing in for the node cannot give, so the requests fail.
  const fs::path parent = root_ / "devices" / "bt";
  WriteText(parent / "idVendor", "1234\n");
  WriteText(parent / "manufacturer", "KAVRO Technology\n");
  WriteText(parent / "product", "TalvexReaderDevice\n");
  AddNode(6, "bt/0005:1234:5678.0006", "HID_ID=0005:00001234:00005678\n");
  auto device = Backend().Open(Interface(6));
  ASSERT_NE(device, nullptr);
  std::uint8_t buffer[kHidStringBufferSize] = {};
  EXPECT_FALSE(device->GetManufacturerString(buffer));
}

TEST_F(HidrawBackendTest, ReportLengthsComeFromTheReportDescriptor) {
  const fs::path device = AddNode(7, "hid7", "HID_ID=0003:0:0\n");
  auto opened = Backend().Open(Interface(7));
  ASSERT_NE(opened, nullptr);
  std::uint16_t in = 0, out = 0;
  ASSERT_TRUE(opened->GetReportLengths(&in, &out));
  EXPECT_EQ(in, 65);
  EXPECT_EQ(out, 65);

  WriteText(device / "report_descriptor", std::string("\x75\x08\x95\x20\x81\x02", 6));
  ASSERT_TRUE(opened->GetReportLengths(&in, &out));
  EXPECT_EQ(in, 33);
  EXPECT_EQ(out, 0);

  WriteText(device / "report_descriptor", std::string("\x75", 1));  // cut short
  EXPECT_FALSE(opened->GetReportLengths(&in, &out));
}

TEST(HidStringBuffer, TextIsCutTo127UnitsAndTerminated) {
  std::uint8_t buffer[kHidStringBufferSize];
  std::memset(buffer, 0xEE, sizeof buffer);
  WriteHidString(std::string(200, 'a'), buffer);
  EXPECT_EQ(BufferText(buffer), std::u16string(127, u'a'));
  EXPECT_EQ(buffer[254], 0);
  EXPECT_EQ(buffer[255], 0);
}

TEST(HidStringBuffer, Utf8BecomesUtf16LittleEndian) {
  std::uint8_t buffer[kHidStringBufferSize] = {};
  WriteHidString("\xE8\xAF\xBB\xE5\x8D\xA1\xE5\x99\xA8 KAVRO\n", buffer);  // 读卡器 KAVRO
  EXPECT_EQ(BufferText(buffer), u"读卡器 KAVRO");
  EXPECT_EQ(buffer[0], 0xFB);  // U+8BFB, low byte first
  EXPECT_EQ(buffer[1], 0x8B);
}

}  // namespace
}  // namespace talvex::platform::posix
