#pragma once
// quorvia-nm doctor: the browsers it knows, and what each platform tells it
// about where they look for a host's registration.
#include <optional>
#include <string>
#include <vector>

#include "nm.h"

namespace quorvia::nm {

enum class Family { kChromium, kFirefox };

// A browser as it finds native messaging hosts; doctorBrowsers() is the one
// table of them, with the sources.
struct DoctorBrowser {
  const char* name;  // the short name install.sh uses
  Family family;
  // Linux: the profile folder under ~/.config (Chromium family; the user
  // folder is in it), the system folders in the order read, the managed
  // policy folder (nullptr: none known) and the sandboxed packages of it
  // ("snap:NAME", "flatpak:ID").
  const char* profile;
  std::vector<const char*> systemFolders;
  const char* policyFolder;
  std::vector<const char*> sandboxes;
  // Windows: the keys read under HKCU and HKLM, in order, and the policy
  // key (nullptr: none known).
  std::vector<const char*> keys;
  const char* policyKey;
};

const std::vector<DoctorBrowser>& doctorBrowsers();

// One place a browser reads a registration from, in the browser's order.
struct Place {
  std::string where;                    // the folder, or the registry key and view
  bool user = false;                    // for one user: ignored when a policy says so
  std::optional<std::string> manifest;  // the manifest registered there
  std::string problem;                  // what makes the registration unusable before any manifest is read
};
std::vector<Place> placesOf(const DoctorBrowser& b, const Options& o);

// The native messaging policies in force for a browser, as found.
struct Policies {
  std::optional<bool> userLevelHosts;
  std::string userLevelSource;
  std::vector<std::string> blocklist, allowlist;
  std::string blockSource;
  std::vector<std::string> notes;  // policy files the browser cannot read either
};
Policies policiesOf(const DoctorBrowser& b, const Options& o);

std::optional<std::string> readWholeFile(const std::string& path, std::string& error);
bool isAbsolutePath(const std::string& path);
// The program a manifest's relative "path" names (Windows only allows one).
std::string besideManifest(const std::string& manifest, const std::string& path);
// What keeps the browser from starting the program at `path` ("" when nothing).
std::string hostPathProblem(const std::string& path);
// One line for each sandboxed package of the browser found on this machine.
std::vector<std::string> sandboxNotes(const DoctorBrowser& b, const Options& o);

}  // namespace quorvia::nm
