// Managed browser policies on this machine, where administrators' tools put
// them: on Linux the JSON files of each browser's managed-policy folder, on
// Windows the keys under HKLM\SOFTWARE\Policies (a list is a key with values
// named 1, 2, ...). Talvex writes only lists of strings, and keeps track of
// what it wrote so that it can take back exactly that.
#pragma once

#include <string>
#include <vector>

namespace talvex::platform {

// A managed policy that is a list of strings. A '/' in the name nests it in
// another policy (Firefox's "LocalNetworkAccess/SkipDomains").
struct PolicyList {
  std::string name;
  std::vector<std::string> values;
};

enum class BrowserFamily {
  kChromium,  // Chromium, Google Chrome, Microsoft Edge: the same policy names
  kFirefox,
};

// One browser's place for managed policies.
struct PolicyTarget {
  std::string browser;  // "Chromium", "Google Chrome", ...
  BrowserFamily family = BrowserFamily::kChromium;
  std::string location;  // Linux: the folder; Windows: the key under HKLM
  // Windows: the key under HKLM where Talvex notes the values it wrote.
  std::string record;
  // False where the browser keeps all its policies in one file that others
  // write too (Firefox's policies.json on Linux): printed, never written.
  bool writable = true;
};

// The browsers' policy places. `root` is "" for the machine's own; tests
// give a folder (Linux) or a key under HKLM (Windows) to stand in for it.
std::vector<PolicyTarget> BrowserPolicyTargets(const std::string& root);

// The lists as this platform keeps them: the JSON text of Talvex's file, or
// the registry values ("HKLM\...\Name\N = value") Talvex would append.
std::string FormatPolicies(const PolicyTarget& target, const std::vector<PolicyList>& lists);

// Where Talvex's own lists go on Linux ("<folder>/talvex.json"); on Windows
// the target's key.
std::string PolicyDestination(const PolicyTarget& target);

// Writes the lists for one browser without touching what others set (Linux:
// Talvex's own file; Windows: values appended after the highest number in
// use). Lists Talvex wrote before are taken back first, so writing again
// gives the same result. False with *error (a sentence) on a failure.
bool InstallPolicies(const PolicyTarget& target, const std::vector<PolicyList>& lists,
                     std::string* error);

// Takes back what InstallPolicies wrote for the browser, nothing else. *count
// is the number of files or values removed.
bool RemovePolicies(const PolicyTarget& target, int* count, std::string* error);

// Other files that set `policy` for the browser (Linux; Chrome then takes
// one of the lists and drops the other). Empty on Windows, where the
// numbered values of all writers add up to one list.
std::vector<std::string> OtherPolicySources(const PolicyTarget& target, const std::string& policy);

}  // namespace talvex::platform
