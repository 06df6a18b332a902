#include "app/browser_policy.h"

#include <algorithm>

namespace talvex {

namespace {

// Chromium 146 and later: pages of these origins may reach the loopback
// address. The older, wider policy (the whole local network) is what Chrome
// 139 to 145 and Edge 140 to 145 know; browsers skip names they do not know.
constexpr const char* kLoopbackAllowed = "LoopbackNetworkAllowedForUrls";
constexpr const char* kLocalNetworkAllowed = "LocalNetworkAccessAllowedForUrls";
constexpr const char* kInsecureAsSecure = "OverrideSecurityRestrictionsOnInsecureOrigin";
constexpr const char* kFirefoxSkip = "LocalNetworkAccess/SkipDomains";

bool Insecure(const std::string& origin) {
  return origin.starts_with("http://");
}

// The host of scheme://host[:port], without the port.
std::string HostOf(const std::string& origin) {
  std::string host = origin.substr(origin.find("://") + 3);
  const std::size_t close = host.rfind(']');
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host.resize(colon);
  }
  return host;
}

void WarnInsecure(const std::vector<std::string>& origins, std::FILE* err) {
  for (const std::string& origin : origins) {
    if (!Insecure(origin)) continue;
    std::fprintf(err,
                 "talvex-server: warning: %s is served without TLS; %s makes the browsers treat "
                 "its pages as a secure origin, so whoever can alter what the network delivers "
                 "for it (no certificate protects it) can read identity cards through those "
                 "pages. Serve the site over https:// where you can.\n",
                 origin.c_str(), kInsecureAsSecure);
  }
}

// Files of others that set the same policies; Chrome then keeps only one.
void NoteOthers(const platform::PolicyTarget& target,
                const std::vector<platform::PolicyList>& lists, std::FILE* out) {
  for (const platform::PolicyList& list : lists) {
    for (const std::string& other : platform::OtherPolicySources(target, list.name)) {
      std::fprintf(out,
                   "# note: %s also sets %s: %s takes one of the two lists and ignores the "
                   "other; put the origins of both into one file\n",
                   other.c_str(), list.name.c_str(), target.browser.c_str());
    }
  }
}

}  // namespace

bool ParseBrowserPolicyAction(std::string_view word, BrowserPolicyAction* action) {
  if (word.empty()) {
    *action = BrowserPolicyAction::kPrint;
  } else if (word == "install") {
    *action = BrowserPolicyAction::kInstall;
  } else if (word == "remove") {
    *action = BrowserPolicyAction::kRemove;
  } else {
    return false;
  }
  return true;
}

std::vector<platform::PolicyList> BrowserPolicyLists(platform::BrowserFamily family,
                                                     const std::vector<std::string>& origins) {
  std::vector<platform::PolicyList> lists;
  if (family == platform::BrowserFamily::kFirefox) {
    platform::PolicyList skip{kFirefoxSkip, {}};
    for (const std::string& origin : origins) {
      const std::string host = HostOf(origin);
      if (std::find(skip.values.begin(), skip.values.end(), host) == skip.values.end())
        skip.values.push_back(host);
    }
    lists.push_back(std::move(skip));
    return lists;
  }
  lists.push_back({kLoopbackAllowed, origins});
  lists.push_back({kLocalNetworkAllowed, origins});
  platform::PolicyList insecure{kInsecureAsSecure, {}};
  std::copy_if(origins.begin(), origins.end(), std::back_inserter(insecure.values), Insecure);
  if (!insecure.values.empty()) lists.push_back(std::move(insecure));
  return lists;
}

int RunBrowserPolicy(BrowserPolicyAction action, const std::vector<std::string>& origins,
                     const std::string& root, std::FILE* out, std::FILE* err) {
  const std::vector<platform::PolicyTarget> targets = platform::BrowserPolicyTargets(root);
  int code = 0;
  if (action == BrowserPolicyAction::kRemove) {
    for (const platform::PolicyTarget& target : targets) {
      int count = 0;
      std::string error;
      if (!platform::RemovePolicies(target, &count, &error)) {
        std::fprintf(err, "talvex-server: %s: %s\n", target.browser.c_str(), error.c_str());
        code = 1;
      } else if (target.writable) {
        std::fprintf(out, "%s: %d Talvex polic%s removed from %s\n", target.browser.c_str(), count,
                     count == 1 ? "y entry" : "y entries",
                     platform::PolicyDestination(target).c_str());
      }
    }
    return code;
  }
  if (origins.empty()) {
    std::fprintf(err,
                 "talvex-server: --browser-policy needs the site's origins: give "
                 "--allow-origin ORIGIN, or allow-origin lines in the settings file\n");
    return 2;
  }
  WarnInsecure(origins, err);
  for (const platform::PolicyTarget& target : targets) {
    const std::vector<platform::PolicyList> lists = BrowserPolicyLists(target.family, origins);
    if (action == BrowserPolicyAction::kPrint || !target.writable) {
      std::fprintf(out, "# %s: %s%s\n", target.browser.c_str(),
                   platform::PolicyDestination(target).c_str(),
                   target.writable ? ""
                                   : " (one file for all its policies: Talvex does not write "
                                     "it; merge this in by hand)");
      std::fputs(platform::FormatPolicies(target, lists).c_str(), out);
      NoteOthers(target, lists, out);
      continue;
    }
    std::string error;
    if (!platform::InstallPolicies(target, lists, &error)) {
      std::fprintf(err, "talvex-server: %s: %s\n", target.browser.c_str(), error.c_str());
      code = 1;
      continue;
    }
    std::fprintf(out, "%s: wrote %s\n", target.browser.c_str(),
                 platform::PolicyDestination(target).c_str());
    NoteOthers(target, lists, out);
  }
  std::fflush(out);
  return code;
}

}  // namespace talvex
