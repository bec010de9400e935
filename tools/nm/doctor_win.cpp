#include <windows.h>  // first: the other Windows headers rely on it

#include <fstream>
#include <iterator>

#include "child_process.h"
#include "doctor.h"

namespace quorvia::nm {

namespace {

// A string value of a key (the default one for an empty name), in a view.
std::optional<std::string> value(HKEY hive, const std::string& key, REGSAM view, const wchar_t* name) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(hive, widen(key).c_str(), 0, KEY_QUERY_VALUE | view, &k) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = 0, size = 0;
  std::optional<std::string> out;
  if (RegQueryValueExW(k, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) == ERROR_SUCCESS) {
      text.resize(wcsnlen(text.c_str(), text.size()));
      out = narrow(text);
    }
  }
  RegCloseKey(k);
  return out;
}

std::optional<DWORD> dword(HKEY hive, const std::string& key, const wchar_t* name) {
  DWORD data = 0, size = sizeof data;
  if (RegGetValueW(hive, widen(key).c_str(), name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return data;
}

// A list policy: a subkey whose values "1", "2", ... are the items.
bool listPolicy(HKEY hive, const std::string& key, std::vector<std::string>& into) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(hive, widen(key).c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  for (int i = 1;; ++i) {
    const std::optional<std::string> item = value(hive, key, 0, std::to_wstring(i).c_str());
    if (!item) break;
    into.push_back(*item);
  }
  return true;
}

}  // namespace

std::vector<Place> placesOf(const DoctorBrowser& b, const Options& o) {
  struct Hive {
    HKEY key;
    const char* name;
    std::vector<REGSAM> views;
  };
  // The order of launch_context_win.cc and NativeManifests.sys.mjs (see the
  // browser table).
  const bool chromium = b.family == Family::kChromium;
  const std::vector<Hive> hives = {
      {HKEY_CURRENT_USER, "HKCU",
       chromium ? std::vector<REGSAM>{KEY_WOW64_32KEY, KEY_WOW64_64KEY} : std::vector<REGSAM>{KEY_WOW64_64KEY}},
      {HKEY_LOCAL_MACHINE, "HKLM", {KEY_WOW64_32KEY, KEY_WOW64_64KEY}}};
  std::vector<Place> places;
  for (const Hive& hive : hives) {
    for (REGSAM view : hive.views) {
      for (const char* key : b.keys) {
        const std::string path = std::string(key) + "\\" + o.name;
        Place p{std::string(hive.name) + "\\" + path + (view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)"),
                hive.key == HKEY_CURRENT_USER, std::nullopt, ""};
        p.manifest = value(hive.key, path, view, nullptr);
        if (p.manifest && !chromium) {
          for (char& c : *p.manifest) c = c == '/' ? '\\' : c;  // as Firefox normalises it
        }
        if (p.manifest && chromium && !isAbsolutePath(*p.manifest)) {
          p.problem = "the value \"" + *p.manifest + "\" is not an absolute path to a manifest, which " + b.name +
                      " requires; register again with install.cmd";
        }
        places.push_back(p);
      }
    }
  }
  return places;
}

std::optional<std::string> readWholeFile(const std::string& path, std::string& error) {
  std::ifstream in(widen(path).c_str(), std::ios::binary);
  if (!in) {
    error = "error " + std::to_string(GetLastError());
    return std::nullopt;
  }
  return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool isAbsolutePath(const std::string& path) {
  return (path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) || path.rfind("\\\\", 0) == 0;
}

std::string besideManifest(const std::string& manifest, const std::string& path) {
  return manifest.substr(0, manifest.find_last_of("\\/") + 1) + path;
}

std::string hostPathProblem(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return "cannot be found (error " + std::to_string(GetLastError()) +
           "): install the host there or write the manifest again";
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "is a folder; name the host program itself";
  return "";
}

// Machine policies win over the user's (Chrome's policy precedence); both
// are read from the policy key of the browser.
Policies policiesOf(const DoctorBrowser& b, const Options&) {
  Policies p;
  if (!b.policyKey) return p;
  const std::string key = b.policyKey;
  for (const auto& [hive, name] : {std::pair{HKEY_LOCAL_MACHINE, "HKLM\\"}, std::pair{HKEY_CURRENT_USER, "HKCU\\"}}) {
    if (!p.userLevelHosts) {
      if (const auto v = dword(hive, key, L"NativeMessagingUserLevelHosts")) {
        p.userLevelHosts = *v != 0;
        p.userLevelSource = name + key + "\\NativeMessagingUserLevelHosts";
      }
    }
    if (p.blockSource.empty()) {
      for (const char* list : {"\\NativeMessagingBlocklist", "\\NativeMessagingBlacklist"}) {
        if (listPolicy(hive, key + list, p.blocklist)) {
          p.blockSource = name + key + list;
          break;
        }
      }
    }
    for (const char* list : {"\\NativeMessagingAllowlist", "\\NativeMessagingWhitelist"}) {
      listPolicy(hive, key + list, p.allowlist);
    }
  }
  return p;
}

std::vector<std::string> sandboxNotes(const DoctorBrowser&, const Options&) { return {}; }

}  // namespace quorvia::nm
