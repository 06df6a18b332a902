// The private temporary folder and the rules for opening the photo files.
#include <fcntl.h>
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

// Sets (or with nullopt unsets) an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (saved_)
      setenv(name_, saved_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class TempFolderTest : public ::testing::Test {
 protected:
  std::optional<std::u16string> Get() {
    std::u16string out = u"untouched";
    if (!platform::GetTempDirectory(&out)) {
      EXPECT_EQ(out, u"untouched");
      return std::nullopt;
    }
    return out;
  }
  test::ScratchDir dir_;
};

TEST_F(TempFolderTest, RuntimeDirGetsAPrivateSubfolder) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.path());
  const auto folder = Get();
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, test::Wide(dir_.path() + "/talvex/"));
  struct stat st;
  ASSERT_EQ(lstat((dir_.path() + "/talvex").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(Get(), folder);  // a second call takes the existing folder
}

TEST_F(TempFolderTest, WithoutRuntimeDirTmpdirHoldsAFolderPerUser) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv tmp("TMPDIR", dir_.path());
  const auto folder = Get();
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, test::Wide(dir_.path() + "/talvex-" + std::to_string(getuid()) + "/"));
}

TEST_F(TempFolderTest, RelativeRuntimeDirIsIgnored) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", "relative/dir");
  ScopedEnv tmp("TMPDIR", dir_.path() + "/");
  const auto folder = Get();
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, test::Wide(dir_.path() + "/talvex-" + std::to_string(getuid()) + "/"));
}

TEST_F(TempFolderTest, SymlinkInPlaceOfTheFolderIsRefused) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.path());
  const std::string elsewhere = dir_.File("elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), dir_.File("talvex").c_str()), 0);
  EXPECT_FALSE(Get());
}

TEST_F(TempFolderTest, FolderOthersCanEnterIsRefused) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.path());
  const std::string folder = dir_.File("talvex");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  for (const mode_t mode : {0750, 0705, 0710, 0701, 0770, 0777}) {
    ASSERT_EQ(chmod(folder.c_str(), mode), 0);
    EXPECT_FALSE(Get()) << std::oct << mode;
  }
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  EXPECT_TRUE(Get());
}

TEST_F(TempFolderTest, FileInPlaceOfTheFolderIsRefused) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.path());
  test::WriteBytes(dir_.File("talvex"), {1});
  EXPECT_FALSE(Get());
}

TEST_F(TempFolderTest, FolderOfAnotherUserIsRefused) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to give the folder away";
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.path());
  const std::string folder = dir_.File("talvex");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(Get());
}

TEST_F(TempFolderTest, MissingParentIsRefused) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.File("gone"));
  EXPECT_FALSE(Get());
}

TEST_F(TempFolderTest, PathThatIsNotUtf8IsRefused) {
  const std::string latin1 = dir_.File("caf\xE9");
  ASSERT_EQ(mkdir(latin1.c_str(), 0700), 0);
  ScopedEnv runtime("XDG_RUNTIME_DIR", latin1);
  EXPECT_FALSE(Get());
}

class PhotoFileTest : public ::testing::Test {
 protected:
  std::u16string Path(const std::string& name) { return test::Wide(dir_.File(name)); }
  test::ScratchDir dir_;
};

TEST_F(PhotoFileTest, ReadersShareButAWriterExcludesAll) {
  const std::u16string path = Path("image.bmp");
  test::WriteBytes(dir_.File("image.bmp"), {1, 2, 3});
  {
    platform::File a = platform::File::OpenForReading(path.c_str());
    platform::File b = platform::File::OpenForReading(path.c_str());
    EXPECT_TRUE(a.IsOpen());
    EXPECT_TRUE(b.IsOpen());
    EXPECT_FALSE(platform::File::CreateForWriting(path.c_str()).IsOpen());
  }
  platform::File writer = platform::File::CreateForWriting(path.c_str());
  ASSERT_TRUE(writer.IsOpen());
  EXPECT_FALSE(platform::File::OpenForReading(path.c_str()).IsOpen());
  EXPECT_FALSE(platform::File::CreateForWriting(path.c_str()).IsOpen());
  writer.Close();
  EXPECT_TRUE(platform::File::OpenForReading(path.c_str()).IsOpen());
}

TEST_F(PhotoFileTest, ReadStopsOnlyAtTheEnd) {
  std::vector<std::uint8_t> content(100000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
  test::WriteBytes(dir_.File("big"), content);
  platform::File file = platform::File::OpenForReading(Path("big").c_str());
  ASSERT_TRUE(file.IsOpen());
  std::vector<std::uint8_t> got(content.size() + 10);
  std::size_t n = 0;
  ASSERT_TRUE(file.Read(got.data(), got.size(), &n));
  EXPECT_EQ(n, content.size());
  got.resize(n);
  EXPECT_EQ(got, content);
}

TEST_F(PhotoFileTest, OnlyRegularFilesOpen) {
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(platform::File::OpenForReading(Path("fifo").c_str()).IsOpen());
  EXPECT_FALSE(platform::File::CreateForWriting(Path("fifo").c_str()).IsOpen());
  EXPECT_FALSE(platform::File::OpenForReading(test::Wide(dir_.path()).c_str()).IsOpen());
  EXPECT_FALSE(platform::File::OpenForReading(u"/dev/null").IsOpen());
}

TEST_F(PhotoFileTest, AnsiPathIsUtf8AndBounded) {
  char out[16];
  EXPECT_EQ(platform::PathToAnsi(u"/t/照.wlt", out, sizeof out), 11u);  // with the NUL
  EXPECT_STREQ(out, "/t/\xE7\x85\xA7.wlt");
  EXPECT_EQ(platform::PathToAnsi(u"/t/照.wlt", out, 10), 0u);
  EXPECT_EQ(platform::PathToAnsi(u"/t/照.wlt", out, 11), 11u);
}

}  // namespace
}  // namespace talvex
