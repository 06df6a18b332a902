// Browser policy files on Linux, in a folder standing in for /: Talvex's own
// file beside another administrator's, which is never changed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/browser_policy_store.h"

namespace talvex::platform {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(BrowserPolicyFiles, OwnFileBesideOthersAndTakenBackAlone) {
  char templ[] = "/tmp/talvex-policy-XXXXXX";
  ASSERT_NE(::mkdtemp(templ), nullptr);
  const fs::path root = templ;
  const fs::path chromium = root / "etc/chromium/policies/managed";
  fs::create_directories(chromium);
  const std::string theirs = "{ \"LoopbackNetworkAllowedForUrls\": [\"https://other.example\"] }\n";
  std::ofstream(chromium / "site.json") << theirs;

  const std::vector<PolicyList> lists = {
      {"LoopbackNetworkAllowedForUrls", {"https://clinic.example", "http://ward.example:8080"}}};
  const std::vector<PolicyTarget> targets = BrowserPolicyTargets(root.string());
  ASSERT_EQ(targets.size(), 4u);
  std::string error;
  for (const PolicyTarget& t : targets) {
    EXPECT_EQ(InstallPolicies(t, lists, &error), t.writable) << t.browser << ": " << error;
  }
  const fs::path ours = chromium / "talvex.json";
  EXPECT_EQ(ReadAll(ours), FormatPolicies(targets[0], lists));
  EXPECT_NE(ReadAll(ours).find("\"http://ward.example:8080\""), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(ours.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // the browser runs as any user
  EXPECT_TRUE(fs::exists(root / "etc/opt/chrome/policies/managed/talvex.json"));
  EXPECT_TRUE(fs::exists(root / "etc/opt/edge/policies/managed/talvex.json"));
  EXPECT_FALSE(fs::exists(root / "etc/firefox/policies/policies.json"));
  EXPECT_EQ(OtherPolicySources(targets[0], "LoopbackNetworkAllowedForUrls"),
            std::vector<std::string>{(chromium / "site.json").string()});
  EXPECT_TRUE(OtherPolicySources(targets[1], "LoopbackNetworkAllowedForUrls").empty());

  int count = -1;
  ASSERT_TRUE(RemovePolicies(targets[0], &count, &error)) << error;
  EXPECT_EQ(count, 1);
  ASSERT_TRUE(RemovePolicies(targets[0], &count, &error)) << error;
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(fs::exists(ours));
  EXPECT_EQ(ReadAll(chromium / "site.json"), theirs);
  fs::remove_all(root);
}

}  // namespace
}  // namespace talvex::platform
