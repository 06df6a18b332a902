// --browser-policy: the managed browser policies that let the site's pages
// reach Talvex on the loopback address with no prompt and no block, printed,
// installed for Chromium, Google Chrome and Edge (and Firefox where its
// policy format allows), or taken back.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/browser_policy_store.h"

namespace talvex {

enum class BrowserPolicyAction { kNone, kPrint, kInstall, kRemove };

// The word after --browser-policy: "" (print), "install" or "remove". False
// for any other word.
bool ParseBrowserPolicyAction(std::string_view word, BrowserPolicyAction* action);

// The lists for one browser family and the site's allowed origins: every
// origin may reach the loopback address, and http:// origins are also
// treated as secure (the browsers block insecure pages whatever the allow
// list says). For Firefox, the origins' host names skip its checks.
std::vector<platform::PolicyList> BrowserPolicyLists(platform::BrowserFamily family,
                                                     const std::vector<std::string>& origins);

// Runs the action for the origins at `root` ("" for this machine's browser
// policies; tests give a stand-in) and returns the exit code: 0 done, 1 a
// policy could not be written or removed, 2 no origins to write.
int RunBrowserPolicy(BrowserPolicyAction action, const std::vector<std::string>& origins,
                     const std::string& root, std::FILE* out, std::FILE* err);

}  // namespace talvex
