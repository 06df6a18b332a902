// The private temporary folder, and how the photo files share access.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "photo_support.h"
#include "platform/fs.h"
#include "platform/utf.h"

namespace talvex {
namespace {

// Sets (or with nullptr unsets) an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class TempFolderTest : public ::testing::Test {
 protected:
  std::optional<std::u16string> Get() {
    std::u16string out = u"untouched";
    if (platform::GetTempDirectory(&out)) return out;
    EXPECT_EQ(out, u"untouched");
    return std::nullopt;
  }
  test::ScratchDir dir_;
};

TEST_F(TempFolderTest, RuntimeDirGetsAPrivateSubfolder) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", (dir_.path() + "/").c_str());
  ASSERT_EQ(Get(), test::Wide(dir_.path() + "/talvex/"));
  struct stat st;
  ASSERT_EQ(lstat(dir_.File("talvex").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(Get(), test::Wide(dir_.path() + "/talvex/"));  // and is taken as it is next time
}

TEST_F(TempFolderTest, OtherwiseTmpdirHoldsAFolderOfTheProcessNoOneCanTakeFirst) {
  ScopedEnv tmp("TMPDIR", (dir_.path() + "//").c_str());
  // Another user's folder under the old fixed name is no obstacle.
  const std::string fixed = dir_.path() + "/talvex-" + std::to_string(getuid());
  ASSERT_EQ(mkdir(fixed.c_str(), 0777), 0);
  std::string first;
  {
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    const std::optional<std::u16string> got = Get();
    ASSERT_TRUE(got);
    first = Utf16ToUtf8(*got);
    EXPECT_EQ(first.size(), fixed.size() + 8);  // ".XXXXXX/"
    EXPECT_EQ(first.rfind(fixed + ".", 0), 0u) << first;
    struct stat st;
    ASSERT_EQ(lstat(first.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(platform::TempDirectoryPath(), first);
  }
  ScopedEnv relative("XDG_RUNTIME_DIR", "relative/dir");  // not absolute: ignored
  EXPECT_EQ(Get(), test::Wide(first));                    // the same folder next time
  // Gone (a cleaner took it): a new one. Another TMPDIR: the old one goes.
  test::WriteBytes(first + "image.bmp", {1});
  ASSERT_EQ(unlink((first + "image.bmp").c_str()), 0);
  ASSERT_EQ(rmdir(first.c_str()), 0);
  const std::optional<std::u16string> again = Get();
  ASSERT_TRUE(again);
  EXPECT_NE(Utf16ToUtf8(*again), first);
  test::WriteBytes(Utf16ToUtf8(*again) + "image.wlt", {1});
  ASSERT_EQ(mkdir(dir_.File("other").c_str(), 0700), 0);
  ScopedEnv other("TMPDIR", dir_.File("other").c_str());
  ASSERT_TRUE(Get());
  struct stat st;
  EXPECT_NE(lstat(Utf16ToUtf8(*again).c_str(), &st), 0);
}

TEST_F(TempFolderTest, FolderThatIsNotPrivatelyOursIsRefused) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.path().c_str());
  const std::string folder = dir_.File("talvex");
  ASSERT_EQ(mkdir(dir_.File("elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink(dir_.File("elsewhere").c_str(), folder.c_str()), 0);
  EXPECT_FALSE(Get()) << "symlink";
  ASSERT_EQ(unlink(folder.c_str()), 0);
  test::WriteBytes(folder, {1});
  EXPECT_FALSE(Get()) << "file";
  ASSERT_EQ(unlink(folder.c_str()), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  for (const mode_t mode : {0750, 0705, 0710, 0701}) {
    ASSERT_EQ(chmod(folder.c_str(), mode), 0);
    EXPECT_FALSE(Get()) << std::oct << mode;
  }
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  EXPECT_TRUE(Get());
  if (getuid() == 0) {
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(Get()) << "another user's folder";
  }
}

TEST_F(TempFolderTest, MissingParentOrPathThatIsNotUtf8IsRefused) {
  {
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.File("gone").c_str());
    EXPECT_FALSE(Get());
  }
  ASSERT_EQ(mkdir(dir_.File("caf\xE9").c_str(), 0700), 0);
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.File("caf\xE9").c_str());
  EXPECT_FALSE(Get());
}

TEST(PhotoFileTest, ReadersShareAndAWriterExcludesEveryoneElse) {
  test::ScratchDir dir;
  const std::u16string path = test::Wide(dir.File("image.bmp"));
  test::WriteBytes(dir.File("image.bmp"), {1, 2, 3});
  {
    platform::File a = platform::File::OpenForReading(path.c_str());
    platform::File b = platform::File::OpenForReading(path.c_str());
    EXPECT_TRUE(a.IsOpen() && b.IsOpen());
    EXPECT_FALSE(platform::File::CreateForWriting(path.c_str()).IsOpen());
  }
  platform::File writer = platform::File::CreateForWriting(path.c_str());
  ASSERT_TRUE(writer.IsOpen());
  EXPECT_FALSE(platform::File::OpenForReading(path.c_str()).IsOpen());
  writer.Close();
  EXPECT_TRUE(platform::File::OpenForReading(path.c_str()).IsOpen());
  EXPECT_FALSE(platform::File::OpenForReading(u"/dev/null").IsOpen());  // not a regular file
}

}  // namespace
}  // namespace talvex
