// Files, the temporary folder, the ANSI path and run-time libraries on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/dynlib.h"
#include "platform/fs.h"
#include "platform/utf.h"
#include "platform/win32/win32_text.h"

namespace talvex::platform {
namespace {

// A fresh folder of this test under the temporary folder, removed afterwards.
class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GetTempDirectory(&temp));
    wchar_t name[MAX_PATH];
    ASSERT_NE(GetTempFileNameW(reinterpret_cast<const wchar_t*>(temp.c_str()), L"tvx", 0, name),
              0u);
    DeleteFileW(name);
    ASSERT_TRUE(CreateDirectoryW(name, nullptr));
    folder = reinterpret_cast<const char16_t*>(name);
    folder += u'\\';
  }
  void TearDown() override {
    for (const std::u16string& f : files) DeleteFileW(reinterpret_cast<const wchar_t*>(f.c_str()));
    RemoveDirectoryW(reinterpret_cast<const wchar_t*>(folder.c_str()));
  }
  std::u16string Path(const char16_t* name) {
    files.push_back(folder + name);
    return files.back();
  }

  std::u16string temp;
  std::u16string folder;
  std::vector<std::u16string> files;
};

TEST_F(Win32Files, TemporaryFolderEndsWithASeparatorAndExists) {
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), u'\\');
  const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t*>(temp.c_str()));
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(Win32Files, WrittenBytesReadBackAndRewritingEmptiesTheFile) {
  const std::u16string path = Path(u"zp.wlt");
  {
    File f = File::CreateForWriting(path.c_str());
    ASSERT_TRUE(f.IsOpen());
    std::size_t written = 0;
    ASSERT_TRUE(f.Write("0123456789", 10, &written));
    EXPECT_EQ(written, 10u);
  }
  {
    File f = File::CreateForWriting(path.c_str());
    ASSERT_TRUE(f.IsOpen());
    std::size_t written = 0;
    ASSERT_TRUE(f.Write("ab", 2, &written));
  }
  File r = File::OpenForReading(path.c_str());
  ASSERT_TRUE(r.IsOpen());
  char buffer[16] = {};
  std::size_t got = 0;
  ASSERT_TRUE(r.Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 2u);  // nothing of the longer first content is left
  EXPECT_EQ(std::string(buffer, got), "ab");
}

TEST_F(Win32Files, AFileBeingWrittenIsNeitherRewrittenNorReadByOthers) {
  const std::u16string path = Path(u"zp.bmp");
  File writer = File::CreateForWriting(path.c_str());
  ASSERT_TRUE(writer.IsOpen());
  EXPECT_FALSE(File::CreateForWriting(path.c_str()).IsOpen());
  EXPECT_FALSE(File::OpenForReading(path.c_str()).IsOpen());
  writer.Close();
  File a = File::OpenForReading(path.c_str());
  File b = File::OpenForReading(path.c_str());
  EXPECT_TRUE(a.IsOpen());
  EXPECT_TRUE(b.IsOpen());  // readers share
}

TEST_F(Win32Files, FoldersAndMissingFilesDoNotOpen) {
  EXPECT_FALSE(File::OpenForReading(folder.c_str()).IsOpen());
  EXPECT_FALSE(File::CreateForWriting(folder.c_str()).IsOpen());
  const std::u16string missing = folder + u"missing.bmp";
  EXPECT_FALSE(File::OpenForReading(missing.c_str()).IsOpen());
  EXPECT_FALSE(File::OpenForReading(nullptr).IsOpen());
}

TEST(Win32AnsiPath, AsciiPathConvertsWithItsTerminator) {
  char out[64];
  std::memset(out, 0x7F, sizeof out);
  const char16_t path[] = u"C:\\Temp\\zp.wlt";
  EXPECT_EQ(PathToAnsi(path, out, sizeof out), sizeof "C:\\Temp\\zp.wlt");
  EXPECT_STREQ(out, "C:\\Temp\\zp.wlt");
  // Exactly the room needed fits; one byte less does not.
  EXPECT_EQ(PathToAnsi(path, out, sizeof "C:\\Temp\\zp.wlt"), sizeof "C:\\Temp\\zp.wlt");
  EXPECT_EQ(PathToAnsi(path, out, sizeof "C:\\Temp\\zp.wlt" - 1), 0u);
}

TEST(Win32AnsiPath, CharacterOutsideTheCodePageIsRefusedNotReplaced) {
  // U+0E01 (Thai) is in neither the Western nor the Chinese code pages; turned
  // into '?' the path would name another file.
  char out[64];
  EXPECT_EQ(PathToAnsi(u"C:\\Temp\\\u0E01.wlt", out, sizeof out), 0u);
}

TEST(Win32AnsiPath, EachCodePageTakesWhatItCanHoldExactly) {
  char out[64];
  // A system whose code page is UTF-8 takes every path, Chinese included;
  // asked with the best-fit flag, the conversion would fail for all of them.
  const char16_t chinese[] = u"C:\\\u4E34\u65F6\\image.wlt";
  EXPECT_EQ(win32::ToCodePage(CP_UTF8, chinese, out, sizeof out),
            sizeof "C:\\\xE4\xB8\xB4\xE6\x97\xB6\\image.wlt");
  EXPECT_STREQ(out, "C:\\\xE4\xB8\xB4\xE6\x97\xB6\\image.wlt");
  EXPECT_EQ(win32::ToCodePage(CP_UTF8, u"C:\\\xD800.wlt", out, sizeof out), 0u);
  // The Chinese code page holds the same path in two bytes a character, and
  // refuses Thai instead of writing '?'.
  EXPECT_EQ(win32::ToCodePage(936, chinese, out, sizeof out),
            sizeof "C:\\\xC1\xD9\xCA\xB1\\image.wlt");
  EXPECT_STREQ(out, "C:\\\xC1\xD9\xCA\xB1\\image.wlt");
  EXPECT_EQ(win32::ToCodePage(936, u"C:\\\u0E01.wlt", out, sizeof out), 0u);
}

TEST(Win32Libraries, NamesAndFolderFollowWindowsRules) {
  EXPECT_EQ(SharedLibraryFileName("WltRS"), "WltRS.dll");
  std::string dir;
  ASSERT_TRUE(ExecutableDirectory(&dir));
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
  EXPECT_NE(dir.find(':'), std::string::npos);  // a drive path, not a relative one
}

TEST(Win32Libraries, OnlyPlainFileNamesAreSearchedFor) {
  EXPECT_FALSE(DynamicLibrary::Load("..\\WltRS.dll").IsLoaded());
  EXPECT_FALSE(DynamicLibrary::Load("sub/WltRS.dll").IsLoaded());
  EXPECT_FALSE(DynamicLibrary::Load("C:WltRS.dll").IsLoaded());
  EXPECT_FALSE(DynamicLibrary::Load("").IsLoaded());
  EXPECT_FALSE(DynamicLibrary::Load("no-such-library-here.dll").IsLoaded());
  EXPECT_FALSE(DynamicLibrary::LoadPath("WltRS.dll").IsLoaded());  // relative: no search
}

// The stand-in decoder sits beside this program, as beside the server.
TEST(Win32Libraries, StandinDecoderExportsPlainStdcallGetBmp) {
  DynamicLibrary library = DynamicLibrary::Load("WltRS.dll");
  ASSERT_TRUE(library.IsLoaded());
  using GetBmp = int(TALVEX_VENDOR_CALL*)(char*, int);
  auto getBmp = reinterpret_cast<GetBmp>(library.Symbol("GetBmp"));
  ASSERT_NE(getBmp, nullptr);
  EXPECT_EQ(library.Symbol("_GetBmp@8"), nullptr);
  EXPECT_EQ(library.Symbol("NoSuchExport"), nullptr);
  // A wrong calling convention would leave the stack 8 bytes off per call;
  // many calls in a row then crash or corrupt this frame's locals.
  volatile int guard = 0x5A5A5A5A;
  char path[] = "C:\\no-such-folder\\zp.wlt";
  for (int i = 0; i < 2000; ++i) {
    const int r = getBmp(path, 2);
    ASSERT_LT(r, 1) << "a missing photo file cannot decode";
  }
  EXPECT_EQ(guard, 0x5A5A5A5A);
  DynamicLibrary moved = std::move(library);
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_TRUE(moved.IsLoaded());
  moved.Close();
  EXPECT_EQ(moved.Symbol("GetBmp"), nullptr);
}

}  // namespace
}  // namespace talvex::platform
