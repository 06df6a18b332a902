// Managed browser policies on Linux: each Chromium-family browser reads every
// *.json file of its managed folder; Talvex writes a file of its own there,
// talvex.json, and removing means deleting that file. Firefox keeps all its
// policies in one policies.json, so Talvex only prints what belongs in it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/browser_policy_store.h"
#include "platform/posix/unique_dir.h"
#include "platform/posix/unique_fd.h"
#include "platform/settings.h"

namespace talvex::platform {
namespace {

constexpr const char* kOwnFile = "talvex.json";

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& values, const std::string& indent) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    out += (i == 0 ? "\n" : ",\n") + indent + "  " + JsonString(values[i]);
  }
  return out + "\n" + indent + "]";
}

// The lists as one JSON object; a name "A/B" nests list B in object A.
std::string JsonObject(const std::vector<PolicyList>& lists, const std::string& indent) {
  std::vector<std::pair<std::string, std::string>> members;  // name, JSON value
  std::map<std::string, std::vector<PolicyList>> nested;
  std::vector<std::string> nestedOrder;
  for (const PolicyList& list : lists) {
    const std::size_t slash = list.name.find('/');
    if (slash == std::string::npos) {
      members.emplace_back(list.name, JsonList(list.values, indent + "  "));
      continue;
    }
    const std::string outer = list.name.substr(0, slash);
    if (!nested.contains(outer)) {
      nestedOrder.push_back(outer);
      members.emplace_back(outer, std::string());
    }
    nested[outer].push_back(PolicyList{list.name.substr(slash + 1), list.values});
  }
  std::string out = "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    const auto& [name, value] = members[i];
    out += (i == 0 ? "\n" : ",\n") + indent + "  " + JsonString(name) + ": " +
           (value.empty() ? JsonObject(nested[name], indent + "  ") : value);
  }
  return out + "\n" + indent + "}";
}

// mkdir -p, with mode 0755 for what it makes.
bool MakeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

std::vector<PolicyTarget> BrowserPolicyTargets(const std::string& root) {
  std::vector<PolicyTarget> targets;
  targets.push_back({"Chromium", BrowserFamily::kChromium, root + "/etc/chromium/policies/managed",
                     std::string(), true});
  targets.push_back({"Google Chrome", BrowserFamily::kChromium,
                     root + "/etc/opt/chrome/policies/managed", std::string(), true});
  targets.push_back({"Microsoft Edge", BrowserFamily::kChromium,
                     root + "/etc/opt/edge/policies/managed", std::string(), true});
  targets.push_back(
      {"Firefox", BrowserFamily::kFirefox, root + "/etc/firefox/policies", std::string(), false});
  return targets;
}

std::string PolicyDestination(const PolicyTarget& target) {
  return target.location + "/" + (target.writable ? kOwnFile : "policies.json");
}

std::string FormatPolicies(const PolicyTarget& target, const std::vector<PolicyList>& lists) {
  if (target.family == BrowserFamily::kFirefox) {
    return "{\n  \"policies\": " + JsonObject(lists, "  ") + "\n}\n";
  }
  return JsonObject(lists, "") + "\n";
}

bool InstallPolicies(const PolicyTarget& target, const std::vector<PolicyList>& lists,
                     std::string* error) {
  if (!target.writable) {
    *error = target.browser + " keeps its policies in one file: add them to " +
             PolicyDestination(target) + " by hand";
    return false;
  }
  if (!MakeFolders(target.location)) {
    *error = SystemError("cannot make " + target.location);
    return false;
  }
  const std::string path = PolicyDestination(target);
  const std::string temp = path + ".new";
  const std::string text = FormatPolicies(target, lists);
  {
    const posix::UniqueFd fd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) {
      *error = SystemError("cannot write " + temp);
      return false;
    }
    // The browser reads the file as any user: readable by all, whatever the umask.
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = SystemError("cannot write " + temp);
        ::unlink(temp.c_str());
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd.get(), 0644) != 0) {
      *error = SystemError("cannot set the mode of " + temp);
      ::unlink(temp.c_str());
      return false;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = SystemError("cannot write " + path);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool RemovePolicies(const PolicyTarget& target, int* count, std::string* error) {
  *count = 0;
  if (!target.writable) return true;
  const std::string path = PolicyDestination(target);
  if (::unlink(path.c_str()) == 0) {
    *count = 1;
    return true;
  }
  if (errno == ENOENT || errno == ENOTDIR) return true;
  *error = SystemError("cannot remove " + path);
  return false;
}

std::vector<std::string> OtherPolicySources(const PolicyTarget& target, const std::string& policy) {
  std::vector<std::string> found;
  const posix::UniqueDir dir(::opendir(target.location.c_str()));
  if (!dir) return found;
  // Built by appends: GCC 12 at -O3 warns (-Wrestrict) on "\"" + string + "\"".
  std::string quoted(1, '"');
  quoted.append(policy, 0, policy.find('/'));
  quoted += '"';
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == kOwnFile || name.size() < 6 || !name.ends_with(".json")) continue;
    const std::string path = target.location + "/" + name;
    std::string text;
    bool missing = false;
    std::string why;
    if (ReadSettingsFile(path, &text, &missing, &why) && text.find(quoted) != std::string::npos) {
      found.push_back(path);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace talvex::platform
