// The command line and the site's settings: values that can never match are
// refused at start, and every message is safe to print.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/options.h"

namespace talvex {
namespace {

ParsedOptions FromText(std::string_view text) {
  ParsedOptions parsed;
  ApplySettingsText(text, "site.conf", parsed);
  return parsed;
}

ParsedOptions FromArgs(std::vector<const char*> args) {
  args.insert(args.begin(), "talvex-server");
  return ParseServerArguments(static_cast<int>(args.size()), args.data());
}

bool Holds(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(SiteSettings, OriginsABrowserNeverSendsAreRefusedNamingTheLineAndTheForm) {
  for (const std::string origin :
       {"https://A.example", "HTTPS://a.example", "https://a.example:443", "http://a.example:80",
        "http://a.example:0080", "https://a.example/", "https://a.example/app"}) {
    SCOPED_TRACE(origin);
    const ParsedOptions parsed = FromText("# the site\nallow-origin = " + origin + "\n");
    EXPECT_EQ(parsed.verdict, OptionsVerdict::kConfigError);
    EXPECT_TRUE(Holds(parsed.error, "site.conf:2: allow-origin '" + origin + "'")) << parsed.error;
    EXPECT_TRUE(Holds(parsed.error,
                      "lower case, no default port (80 for http, 443 for https) "
                      "and no path"))
        << parsed.error;
    EXPECT_EQ(FromArgs({"--allow-origin", origin.c_str()}).verdict, OptionsVerdict::kUsageError);
  }
  const ParsedOptions parsed =
      FromText("allow-origin = https://a.example, http://a.example:8080 http://[::1]:8443\n");
  ASSERT_EQ(parsed.verdict, OptionsVerdict::kRun) << parsed.error;
  EXPECT_EQ(parsed.options.service.allowOrigins,
            (std::vector<std::string>{"https://a.example", "http://a.example:8080",
                                      "http://[::1]:8443"}));
}

TEST(SiteSettings, ByteOrderMarkIsSkippedAndControlBytesInMessagesAreEscaped) {
  const ParsedOptions bom = FromText(
      "\xEF\xBB\xBF"
      "allow-origin = https://a.example\n");
  ASSERT_EQ(bom.verdict, OptionsVerdict::kRun) << bom.error;
  EXPECT_EQ(bom.options.service.allowOrigins, (std::vector<std::string>{"https://a.example"}));
  // Only at the start: elsewhere it is a byte of a line like any other.
  EXPECT_TRUE(Holds(FromText("\n\xEF\xBB\xBFport = 1\n").error,
                    "site.conf:2: unknown setting '\\xef\\xbb\\xbfport'"));

  const ParsedOptions wrong = FromText(std::string("port = 1\x1b[2J\0x\x9b", 15) + "\n");
  EXPECT_EQ(wrong.verdict, OptionsVerdict::kConfigError);
  EXPECT_TRUE(Holds(wrong.error, "'1\\x1b[2J\\x00x\\x9b'")) << wrong.error;
  const ParsedOptions usage = FromArgs({"--port", "\x1b]0;owned\x07"});
  EXPECT_TRUE(Holds(usage.error, "'\\x1b]0;owned\\x07'")) << usage.error;
}

TEST(SiteSettings, AllowedHostsAndListenAddresses) {
  const ParsedOptions hosts = FromText("allow-host = Kiosk.Clinic.example, 10.0.0.7 [fe80::1]\n");
  ASSERT_EQ(hosts.verdict, OptionsVerdict::kRun) << hosts.error;
  EXPECT_EQ(hosts.options.service.allowHosts,
            (std::vector<std::string>{"kiosk.clinic.example", "10.0.0.7", "[fe80::1]"}));
  for (const char* wrong : {"kiosk:10012", "http://kiosk", "-kiosk", "[kiosk]"}) {
    EXPECT_EQ(FromText(std::string("allow-host = ") + wrong).verdict, OptionsVerdict::kConfigError)
        << wrong;
  }
  // The command line wins over the file, as for the other settings.
  ParsedOptions both = FromArgs({"--allow-host=a.example", "--allow-host", "b.example"});
  ApplySettingsText("allow-host = c.example\n", "site.conf", both);
  EXPECT_EQ(both.options.service.allowHosts, (std::vector<std::string>{"a.example", "b.example"}));

  const ParsedOptions mapped = FromArgs({"--listen", "[::ffff:127.0.0.1]"});
  EXPECT_EQ(mapped.verdict, OptionsVerdict::kUsageError);
  EXPECT_TRUE(Holds(mapped.error, "use its IPv4 form, 127.0.0.1")) << mapped.error;
  EXPECT_EQ(FromArgs({"--listen", "[::ffff:0:1:2]"}).verdict, OptionsVerdict::kRun);
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/talvex-options-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    unsetenv("TALVEX_CONFIG");
    for (const char* name : {"/fifo", "/big.conf"}) unlink((dir_ + name).c_str());
    rmdir(dir_.c_str());
  }
  ParsedOptions Start(const std::string& path) {
    setenv("TALVEX_CONFIG", path.c_str(), 1);
    const char* argv[] = {"talvex-server"};
    return ParseServerOptions(1, argv);
  }
  std::string dir_;
};

TEST_F(SettingsFile, AFifoAFolderOrAFileOverOneMebibyteIsRefusedWithTheReason) {
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  // No writer ever comes: the start must not wait for one.
  const ParsedOptions fifo = Start(dir_ + "/fifo");
  EXPECT_EQ(fifo.verdict, OptionsVerdict::kConfigError);
  EXPECT_EQ(fifo.error, dir_ + "/fifo: is not a regular file (a pipe, socket or device)");
  EXPECT_TRUE(Holds(Start(dir_).error, "is a folder")) << Start(dir_).error;
  EXPECT_EQ(Start("/dev/null").verdict, OptionsVerdict::kRun);  // no settings
  EXPECT_TRUE(Holds(Start("/dev/zero").error, "is not a regular file"));
  {
    std::ofstream big(dir_ + "/big.conf");
    big << "# " << std::string((1 << 20) - 3, 'x') << "\n";
  }
  EXPECT_EQ(Start(dir_ + "/big.conf").verdict, OptionsVerdict::kRun);  // exactly 1 MiB
  {
    std::ofstream big(dir_ + "/big.conf", std::ios::app);
    big << "\n";
  }
  EXPECT_TRUE(Holds(Start(dir_ + "/big.conf").error, "is larger than 1 MiB"));
}

}  // namespace
}  // namespace talvex
