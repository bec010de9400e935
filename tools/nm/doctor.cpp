// quorvia-nm doctor: for every browser, every place it reads a registration
// from, in its own order; what it would make of what is there; and the host
// it would start, started as it would.
#include <picojson.h>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>

#include "doctor.h"
#include "extension_ids.h"

namespace quorvia::nm {

namespace {

bool validChromeId(const std::string& id) { return ids::validId(true, id); }
bool validFirefoxId(const std::string& id) { return ids::validId(false, id); }

bool contains(const std::vector<std::string>& list, const std::string& item) {
  for (const auto& i : list) {
    if (i == item) return true;
  }
  return false;
}

bool isChromium(const DoctorBrowser& b) { return b.family == Family::kChromium; }

// Firefox on Linux tries the folders in turn until one holds a manifest it
// accepts (NativeManifests.sys.mjs, _tryPaths); on Windows it takes the first
// registry value it finds and reads that manifest alone (_winLookup), as the
// Chromium family does everywhere.
#ifdef _WIN32
constexpr bool kFirefoxTriesNext = false;
#else
constexpr bool kFirefoxTriesNext = true;
#endif

// The browsers chosen: "" or "all" for every one.
std::vector<const DoctorBrowser*> chosen(const std::string& list) {
  std::vector<const DoctorBrowser*> out;
  std::vector<std::string> names;
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t comma = std::min(list.find(',', at), list.size());
    if (comma > at) names.push_back(list.substr(at, comma - at));
    at = comma + 1;
  }
  for (const auto& b : doctorBrowsers()) {
    if (names.empty() || contains(names, "all") || contains(names, b.name)) out.push_back(&b);
  }
  return out;
}

// The IDs asked about that belong to this browser's family.
std::vector<std::string> idsFor(const DoctorBrowser& b, const Options& o) {
  std::vector<std::string> ids;
  for (const auto& id : o.extensions) {
    if (isChromium(b) ? validChromeId(id) : validFirefoxId(id)) ids.push_back(id);
  }
  return ids;
}

// What the browser makes of one manifest.
struct Verdict {
  std::vector<std::string> problems;  // "FILE: what is wrong; what to do"
  std::string host;                   // the program it would start
  std::vector<std::string> ids;       // the extensions it lets in
};

Verdict check(const DoctorBrowser& b, const std::string& path, const Options& o) {
  Verdict v;
  const auto bad = [&](const std::string& what) { v.problems.push_back(path + ": " + what); };
  std::string error;
  const std::optional<std::string> text = readWholeFile(path, error);
  if (!text) {
    bad("cannot be read (" + error + "); let the user the browser runs as read it (mode 644)");
    return v;
  }
  picojson::value json;
  error = picojson::parse(json, *text);
  if (!error.empty() || !json.is<picojson::object>()) {
    bad("is not a JSON object (" + (error.empty() ? std::string("another kind of value") : error.substr(0, 80)) +
        "); write it again with the installer");
    return v;
  }
  const picojson::object& m = json.get<picojson::object>();
  const auto text_of = [&](const char* key) -> std::optional<std::string> {
    const auto it = m.find(key);
    if (it == m.end() || !it->second.is<std::string>()) return std::nullopt;
    return it->second.get<std::string>();
  };
  // Chromium: launch_context.cc compares the name with the one asked for,
  // and the file is found by that name; Firefox: NativeManifests.sys.mjs.
  const std::optional<std::string> name = text_of("name");
  if (name != o.name) {
    bad("\"name\" is " + (name ? "\"" + *name + "\"" : std::string("missing")) + ", not \"" + o.name +
        "\", the name the extension asks for and the file is registered under; write the manifest again with "
        "--name " +
        o.name);
  }
  // Chromium requires a description that is not empty
  // (native_messaging_host_manifest.cc); Firefox's schema a string.
  const std::optional<std::string> description = text_of("description");
  if (!description || (isChromium(b) && description->empty())) bad("has no \"description\"; the browser requires one");
  if (text_of("type") != "stdio") bad("\"type\" is not \"stdio\"");
  const std::optional<std::string> program = text_of("path");
  if (!program || program->empty()) {
    bad("has no \"path\" naming the host program");
  } else if (!isAbsolutePath(*program)) {
#ifdef _WIN32
    // Both families take a path relative to the manifest's folder on Windows.
    v.host = besideManifest(path, *program);
#else
    bad("\"path\" " + *program + " is relative; Linux browsers need the host's absolute path");
#endif
  } else {
    v.host = *program;
  }
  if (!v.host.empty()) {
    const std::string why = hostPathProblem(v.host);
    if (!why.empty()) {
      bad("\"path\" " + v.host + " " + why);
      v.host.clear();
    }
  }
  const char* key = isChromium(b) ? "allowed_origins" : "allowed_extensions";
  const auto list = m.find(key);
  if (list == m.end() || !list->second.is<picojson::array>()) {
    bad(std::string("has no \"") + key + "\" list; " + b.name + " needs one" +
        (m.count(isChromium(b) ? "allowed_extensions" : "allowed_origins") ? " (this is the other family's manifest)"
                                                                           : ""));
    return v;
  }
  for (const auto& entry : list->second.get<picojson::array>()) {
    const std::string item = entry.is<std::string>() ? entry.get<std::string>() : entry.serialize();
    if (isChromium(b)) {
      // chrome-extension://ID/ and a path pattern; a pattern Chromium cannot
      // parse, or a wildcard host, voids the whole manifest
      // (native_messaging_host_manifest.cc), and any other host lets no one in.
      const std::string prefix = "chrome-extension://";
      const std::string id = item.compare(0, prefix.size(), prefix) == 0 ? item.substr(prefix.size(), 32) : "";
      if (validChromeId(id) && item.size() > prefix.size() + 32 && item[prefix.size() + 32] == '/') {
        v.ids.push_back(id);
        continue;
      }
      bad("\"allowed_origins\" entry " + item +
          " is not chrome-extension://ID/ with an extension ID of 32 letters a-p; write the manifest again with "
          "the right IDs");
    } else if (entry.is<std::string>() && validFirefoxId(item)) {
      v.ids.push_back(item);
    } else {
      // The schema's ExtensionID pattern (schemas/manifest.json): one entry
      // that fails it fails the whole manifest (native_manifest.json).
      bad("\"allowed_extensions\" entry " + item +
          " is not a Firefox add-on ID ({GUID}, or name@domain of letters, digits, '.', '-' and '_'): Firefox "
          "rejects the whole manifest for it, for every add-on listed; remove it");
    }
  }
  for (const auto& id : idsFor(b, o)) {
    if (!contains(v.ids, id)) {
      bad(id + " is not in \"" + key + "\"; install again with this ID among the " +
          (isChromium(b) ? "--chrome-ids" : "--firefox-ids"));
    }
  }
  return v;
}

// Blocked for this host by the policies in force, and by which source.
bool blocked(const Policies& p, const std::string& name) {
  return (contains(p.blocklist, "*") || contains(p.blocklist, name)) && !contains(p.allowlist, name);
}

struct Run {
  int problems = 0;
  int registered = 0;
  std::map<std::string, bool> calls;  // host and family: answered
  void problem(const std::string& text) {
    std::printf("problem: %s\n", text.c_str());
    ++problems;
  }
};

// Starts the host as the browser would, once per program and family.
void callAs(const DoctorBrowser& b, const std::string& manifestPath, const Verdict& v, const Options& o, Run& run) {
  const std::string key = v.host + (isChromium(b) ? "\n" : "\nfirefox");
  const auto done = run.calls.find(key);
  if (done != run.calls.end()) {
    std::printf("%s: call: %s, as above\n", b.name, done->second ? "answered" : "failed");
    if (!done->second) run.problem(v.host + ": started as " + b.name + " starts it, it did not answer; see above");
    return;
  }
  Options c = o;
  c.host = v.host;
  c.firefox = !isChromium(b);
  c.manifest = manifestPath;
  const std::vector<std::string> asked = idsFor(b, o);
  c.extensionId = !asked.empty() ? asked.front() : !v.ids.empty() ? v.ids.front() : "";
  // A fresh key for every call, as the extension's module makes one.
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::random_device random;
  std::string key32;
  for (int i = 0; i < 32; ++i) key32 += alphabet[random() % 64];
  c.key = key32;
  std::string report;
  const bool ok = call(c, &report) == kOk;
  run.calls[key] = ok;
  if (ok) {
    std::printf("%s: call: %s answered as %s starts it; the document decrypts\n", b.name, v.host.c_str(), b.name);
    return;
  }
  std::string why;
  for (std::size_t at = 0; at < report.size();) {
    const std::size_t end = std::min(report.find('\n', at), report.size());
    const std::string line = report.substr(at, end - at);
    if (line.rfind("host:", 0) != 0 && line.rfind("time:", 0) != 0) why += (why.empty() ? "" : "; ") + line;
    at = end + 1;
  }
  run.problem(v.host + ": started as " + b.name + " starts it, it gave no document that decrypts (" + why +
              "); quorvia-nm call --host " + v.host + " shows the whole answer");
}

void examine(const DoctorBrowser& b, const Options& o, Run& run) {
  const Policies policies = policiesOf(b, o);
  for (const auto& note : policies.notes) std::printf("note: %s\n", note.c_str());
  const bool userLevel = policies.userLevelHosts.value_or(true);
  bool any = false, decided = false;
  std::string ignored, winnerPath;
  Verdict winner;
  std::vector<std::string> skipped;  // Firefox: the problems of manifests it passed over
  for (const Place& place : placesOf(b, o)) {
    const std::string at = std::string(b.name) + ": " + place.where + ": ";
    if (!place.manifest) {
      std::printf("%snothing registered\n", at.c_str());
      continue;
    }
    any = true;
    const std::string& file = *place.manifest;
    // Within the folder just named, the file's own name says enough.
    const std::size_t slash = file.find_last_of("/\\");
    const std::string shown = slash != std::string::npos && place.where.find(file.substr(0, slash)) != std::string::npos
                                  ? file.substr(slash + 1)
                                  : file;
    if (place.user && !userLevel) {
      std::printf("%s%s: not read, NativeMessagingUserLevelHosts is false (%s)\n", at.c_str(), shown.c_str(),
                  policies.userLevelSource.c_str());
      if (ignored.empty()) ignored = file;
      continue;
    }
    if (decided) {
      std::printf("%s%s: not read, %s uses the registration above\n", at.c_str(), shown.c_str(), b.name);
      continue;
    }
    Verdict v;
    if (!place.problem.empty()) {
      v.problems.push_back(place.where + ": " + place.problem);
    } else {
      v = check(b, file, o);
    }
    if (isChromium(b) || !kFirefoxTriesNext || v.problems.empty()) {
      // The first registration found is used, usable or not.
      decided = true;
      winner = v;
      winnerPath = file;
      std::printf("%s%s: %s\n", at.c_str(), shown.c_str(),
                  v.problems.empty() ? ("used; host " + v.host).c_str() : "used, and unusable:");
      for (const auto& p : v.problems) run.problem(p);
    } else {
      std::printf("%s%s: passed over by Firefox, which then tries the next place:\n", at.c_str(), shown.c_str());
      for (const auto& p : v.problems) std::printf("note: %s\n", p.c_str());
      skipped.insert(skipped.end(), v.problems.begin(), v.problems.end());
    }
  }
  for (const auto& note : sandboxNotes(b, o)) std::printf("note: %s\n", note.c_str());
  if (!any) {
    std::printf("%s: nothing registered for %s\n", b.name, o.name.c_str());
    return;
  }
  ++run.registered;
  if (!decided) {
    for (const auto& p : skipped) run.problem(p);
    if (!ignored.empty()) {
      run.problem(ignored + ": " + b.name + " reads no registration for one user: NativeMessagingUserLevelHosts is " +
                  "false in " + policies.userLevelSource +
                  "; register for every user (install.sh --system, install.cmd --system or the MSI)");
    }
    return;
  }
  if (!winner.problems.empty()) return;
  if (blocked(policies, o.name)) {
    run.problem(policies.blockSource + ": NativeMessagingBlocklist blocks " + o.name + " in " + b.name +
                "; the administrator can list it in NativeMessagingAllowlist");
    return;
  }
  if (o.call) callAs(b, winnerPath, winner, o, run);
}

}  // namespace

std::string doctorUsageProblem(Options& o) {
  if (!ids::validName(o.name)) {
    return "invalid host name '" + o.name + "': lower-case letters, digits and '_', in parts joined by single dots";
  }
  for (const auto& id : o.extensions) {
    if (!validChromeId(id) && !validFirefoxId(id)) {
      return "--extension '" + id + "' is neither a Chrome extension ID (32 letters a-p) nor a Firefox add-on ID";
    }
  }
  for (std::size_t at = 0; at <= o.browsers.size();) {
    const std::size_t comma = std::min(o.browsers.find(',', at), o.browsers.size());
    const std::string name = o.browsers.substr(at, comma - at);
    bool known = name.empty() || name == "all";
    for (const auto& b : doctorBrowsers()) known = known || name == b.name;
    if (!known) {
      std::string names;
      for (const auto& b : doctorBrowsers()) names += std::string(names.empty() ? "" : ", ") + b.name;
      return "unknown browser '" + name + "': choose from " + names + ", or all";
    }
    at = comma + 1;
  }
#ifdef _WIN32
  if (!o.root.empty()) return "--root applies on Linux; Windows browsers read the registry";
#endif
  return "";
}

int doctor(const Options& o) {
  const auto start = std::chrono::steady_clock::now();
  Run run;
  std::printf("doctor: host name %s%s\n", o.name.c_str(), o.call ? "" : ", without calling the host");
  for (const DoctorBrowser* b : chosen(o.browsers)) {
    examine(*b, o, run);
    std::fflush(stdout);
  }
  if (run.registered == 0) {
    run.problem(o.name +
                ": no browser has a registration for it in the places above; register it with the "
                "installer. A browser started with --user-data-dir DIR reads DIR/NativeMessagingHosts "
                "instead of its user folder: give doctor the same --user-data-dir DIR");
  }
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (run.problems == 0) {
    std::printf("doctor: every browser with a registration reaches a working host (%.0f ms)\n", ms);
  } else {
    std::printf("doctor: %d problem%s (%.0f ms)\n", run.problems, run.problems == 1 ? "" : "s", ms);
  }
  return run.problems == 0 ? kOk : kFailed;
}

}  // namespace quorvia::nm
