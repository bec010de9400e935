#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <picojson.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "doctor.h"

namespace quorvia::nm {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Where the Chromium family keeps profiles: $XDG_CONFIG_HOME when it is an
// absolute path, else ~/.config (base/nix/xdg_util.cc GetXDGDirectory).
std::string configHome() {
  const std::string xdg = env("XDG_CONFIG_HOME");
  return !xdg.empty() && xdg[0] == '/' ? xdg : env("HOME") + "/.config";
}

Place folder(const std::string& kind, const std::string& dir, const Options& o, bool user) {
  Place p{kind + " " + dir, user, std::nullopt, ""};
  const std::string file = dir + "/" + o.name + ".json";
  if (exists(file)) p.manifest = file;
  return p;
}

}  // namespace

std::vector<Place> placesOf(const DoctorBrowser& b, const Options& o) {
  std::vector<Place> places;
  if (b.family == Family::kChromium) {
    const std::string profile = o.userDataDir.empty() ? configHome() + "/" + b.profile : o.userDataDir;
    places.push_back(folder("user folder", profile + "/NativeMessagingHosts", o, true));
  } else {
    places.push_back(folder("user folder", env("HOME") + "/.mozilla/native-messaging-hosts", o, true));
  }
  for (const char* system : b.systemFolders) places.push_back(folder("system folder", o.root + system, o, false));
  return places;
}

std::optional<std::string> readWholeFile(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    error = "read error";
    return std::nullopt;
  }
  return text;
}

bool isAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string besideManifest(const std::string& manifest, const std::string& path) {
  return manifest.substr(0, manifest.rfind('/') + 1) + path;
}

std::string hostPathProblem(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return std::string("cannot be found (") + std::strerror(errno) +
           "): the browser says the host is not found; install the host there or write the manifest again";
  }
  if (!S_ISREG(st.st_mode)) return "is not a file; name the host program itself";
  if (access(path.c_str(), X_OK) != 0) return "is not executable for this user; chmod 755 it";
  struct statvfs fs {};
  if (statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC)) {
    return "is on a file system mounted noexec, where nothing starts; install the host elsewhere";
  }
  return "";
}

// Chromium merges the JSON files of the managed folder
// (components/policy/core/common/config_dir_policy_loader.cc); the older
// names of the two lists still count.
Policies policiesOf(const DoctorBrowser& b, const Options& o) {
  Policies p;
  if (!b.policyFolder) return p;
  const std::string dir = o.root + b.policyFolder;
  DIR* d = opendir(dir.c_str());
  if (!d) return p;
  std::vector<std::string> files;
  while (const dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) files.push_back(dir + "/" + n);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::string error;
    const std::optional<std::string> text = readWholeFile(file, error);
    picojson::value v;
    if (!text || !picojson::parse(v, *text).empty() || !v.is<picojson::object>()) {
      p.notes.push_back(file + ": not a JSON object; " + b.name + " ignores it too");
      continue;
    }
    const picojson::object& m = v.get<picojson::object>();
    const auto list = [&](std::initializer_list<const char*> keys, std::vector<std::string>& into) {
      for (const char* key : keys) {
        const auto it = m.find(key);
        if (it == m.end() || !it->second.is<picojson::array>()) continue;
        for (const auto& item : it->second.get<picojson::array>()) {
          if (item.is<std::string>()) into.push_back(item.get<std::string>());
        }
        return true;
      }
      return false;
    };
    if (list({"NativeMessagingBlocklist", "NativeMessagingBlacklist"}, p.blocklist)) p.blockSource = file;
    list({"NativeMessagingAllowlist", "NativeMessagingWhitelist"}, p.allowlist);
    const auto user = m.find("NativeMessagingUserLevelHosts");
    if (user != m.end() && user->second.is<bool>()) {
      p.userLevelHosts = user->second.get<bool>();
      p.userLevelSource = file;
    }
  }
  return p;
}

std::vector<std::string> sandboxNotes(const DoctorBrowser& b, const Options& o) {
  std::vector<std::string> notes;
  const bool firefox = b.family == Family::kFirefox;
  for (const std::string s : b.sandboxes) {
    const bool snap = s.rfind("snap:", 0) == 0;
    const std::string id = s.substr(s.find(':') + 1);
    std::string where = snap ? o.root + "/snap/bin/" + id : o.root + "/var/lib/flatpak/app/" + id;
    if (!exists(where) && !snap) where = env("HOME") + "/.local/share/flatpak/app/" + id;
    if (!exists(where)) continue;
    const std::string what =
        std::string(b.name) + " is installed as a " + (snap ? "snap" : "Flatpak") + " (" + where + "): ";
    if (firefox && snap) {
      notes.push_back(what +
                      "it starts hosts through the WebExtensions portal of Ubuntu's xdg-desktop-portal, "
                      "which reads the folders above and asks the user once; elsewhere it cannot start them");
    } else if (firefox) {
      notes.push_back(what +
                      "from Firefox 157 it starts hosts through xdg-native-messaging-proxy, which must be "
                      "installed and running (systemctl --user enable --now "
                      "xdg-native-messaging-proxy.service); older ones cannot start them");
    } else {
      notes.push_back(what +
                      "it reads no registration on the machine and cannot start a host outside its "
                      "sandbox; use a packaged " +
                      b.name + " (or Chrome or Edge)");
    }
  }
  return notes;
}

}  // namespace quorvia::nm
