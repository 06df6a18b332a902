// Browser policy lists in the registry, under a key of the test's own that
// stands in for HKLM\SOFTWARE\Policies: another program's numbered values are
// kept, Talvex's are appended after them, and removing takes back only those.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/browser_policy_store.h"

namespace talvex::platform {
namespace {

constexpr const wchar_t* kRoot = L"SOFTWARE\\TalvexPolicyTest";
constexpr const wchar_t* kList =
    L"SOFTWARE\\TalvexPolicyTest\\Chromium\\LoopbackNetworkAllowedForUrls";

std::wstring Value(const wchar_t* name) {
  wchar_t data[256] = {};
  DWORD bytes = sizeof data;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kList, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr,
                   data, &bytes) != ERROR_SUCCESS) {
    return L"(none)";
  }
  return data;
}

void SetValue(const wchar_t* name, const wchar_t* text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kList, 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// The test's key in both registry views: the policy keys are in the 64-bit
// one, Talvex's notes in the program's own.
void DeleteRoot() {
  for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
      RegDeleteTreeW(key, nullptr);
      RegCloseKey(key);
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRoot, view, 0);
  }
}

TEST(BrowserPolicyRegistry, AppendsAfterOthersAndRemovesOnlyItsOwn) {
  DeleteRoot();
  SetValue(L"1", L"https://other.example");
  SetValue(L"4", L"https://other2.example");
  const std::vector<PolicyTarget> targets = BrowserPolicyTargets("SOFTWARE\\TalvexPolicyTest");
  const std::vector<PolicyList> lists = {
      {"LoopbackNetworkAllowedForUrls", {"https://clinic.example", "http://ward.example:8080"}}};
  std::string error;
  ASSERT_TRUE(InstallPolicies(targets[0], lists, &error)) << error;
  // Writing again replaces Talvex's values instead of adding more.
  ASSERT_TRUE(InstallPolicies(targets[0], lists, &error)) << error;
  EXPECT_EQ(Value(L"1"), L"https://other.example");
  EXPECT_EQ(Value(L"4"), L"https://other2.example");
  EXPECT_EQ(Value(L"5"), L"https://clinic.example");
  EXPECT_EQ(Value(L"6"), L"http://ward.example:8080");
  EXPECT_EQ(Value(L"7"), L"(none)");

  // Someone replaces one of Talvex's values with their own: it stays.
  SetValue(L"6", L"https://theirs.example");
  int count = 0;
  ASSERT_TRUE(RemovePolicies(targets[0], &count, &error)) << error;
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Value(L"1"), L"https://other.example");
  EXPECT_EQ(Value(L"4"), L"https://other2.example");
  EXPECT_EQ(Value(L"5"), L"(none)");
  EXPECT_EQ(Value(L"6"), L"https://theirs.example");

  // A list only Talvex wrote goes with its keys.
  const std::vector<PolicyList> firefox = {{"LocalNetworkAccess/SkipDomains", {"clinic.example"}}};
  ASSERT_TRUE(InstallPolicies(targets[3], firefox, &error)) << error;
  ASSERT_TRUE(RemovePolicies(targets[3], &count, &error)) << error;
  EXPECT_EQ(count, 1);
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TalvexPolicyTest\\Mozilla", 0,
                          KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  // With nothing of Talvex's left, neither are its notes.
  EXPECT_NE(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TalvexPolicyTest\\Talvex", 0, KEY_READ, &key),
      ERROR_SUCCESS);
  DeleteRoot();
}

}  // namespace
}  // namespace talvex::platform
