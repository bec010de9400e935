#include "doctor.h"

namespace quorvia::nm {

// The browsers doctor knows, and where each reads a native messaging host's
// registration. Each fact is the browser's own:
//
// Chromium family, Linux: the user folder is the profile folder's
// NativeMessagingHosts (chrome/common/chrome_paths.cc, DIR_USER_NATIVE_MESSAGING
// = DIR_USER_DATA + "NativeMessagingHosts"), so --user-data-dir DIR moves it
// to DIR/NativeMessagingHosts and the default one is then not read (the
// flag replaces DIR_USER_DATA: chrome_paths_linux.cc). The profile folder is
// $XDG_CONFIG_HOME (or ~/.config) + "google-chrome" or "chromium", and for
// Chrome's channels + "-beta", "-unstable", "-canary"
// (chrome_paths_linux.cc, channel_info_posix.cc GetChannelSuffixForDataDir);
// Brave's is "BraveSoftware/Brave-Browser" (brave-core
// chromium_src/chrome/common/chrome_paths_linux.cc). The system folder is
// /etc/opt/chrome/native-messaging-hosts in Google-branded builds, every
// channel, and /etc/chromium/native-messaging-hosts in every other build
// (chrome_paths.cc, DIR_NATIVE_MESSAGING), Brave's among them (brave-core
// keeps that path). The user folder is read first and the first file that
// exists wins, broken or not (launch_context_posix.cc FindManifest).
// Edge: ~/.config/microsoft-edge and /etc/opt/edge/native-messaging-hosts
// (Microsoft's "Native messaging" page for Edge); its beta and dev channels'
// profile folders follow Chromium's channel rule with Edge's own suffixes.
// Vivaldi and Opera: their profile folders, by Chromium's rule; no source of
// theirs names a system folder, so none is looked at.
//
// Chromium family, Windows: HKCU first (unless NativeMessagingUserLevelHosts
// is false), then HKLM; in each the 32-bit view, then the 64-bit one; in each
// view Chromium-branded builds try Software\Chromium before
// Software\Google\Chrome, Google's builds only the latter, whatever the
// channel (launch_context_win.cc). The value names the manifest, which must
// be an absolute path. Edge reads Software\Microsoft\Edge (Microsoft's page).
//
// Firefox, Linux: ~/.mozilla/native-messaging-hosts, then the system folder
// fixed at build time, /usr/lib/mozilla/native-messaging-hosts or, in 64-bit
// Red Hat-family builds, /usr/lib64/mozilla/native-messaging-hosts (MDN
// "Native manifests"); a manifest Firefox rejects, or one that does not list
// the add-on, is skipped and the next place tried (NativeManifests.sys.mjs
// _tryPaths). Windows: Software\Mozilla\NativeMessagingHosts in HKCU's 64-bit
// view, then HKLM's 32-bit and 64-bit views; the first value found is the one
// manifest read (NativeManifests.sys.mjs _winLookup).
//
// Policies: Chrome reads /etc/opt/chrome/policies/managed and
// HKLM\Software\Policies\Google\Chrome, Chromium /etc/chromium/policies/managed
// and Software\Policies\Chromium, Edge /etc/opt/edge/policies/managed and
// Software\Policies\Microsoft\Edge (the browsers' policy documentation).
const std::vector<DoctorBrowser>& doctorBrowsers() {
  static const char* const chromeSystem = "/etc/opt/chrome/native-messaging-hosts";
  static const char* const chromiumSystem = "/etc/chromium/native-messaging-hosts";
  static const char* const edgeSystem = "/etc/opt/edge/native-messaging-hosts";
  static const char* const chromeKey = "Software\\Google\\Chrome\\NativeMessagingHosts";
  static const char* const chromiumKey = "Software\\Chromium\\NativeMessagingHosts";
  static const char* const edgeKey = "Software\\Microsoft\\Edge\\NativeMessagingHosts";
  static const char* const chromePolicies = "/etc/opt/chrome/policies/managed";
  static const char* const edgePolicies = "/etc/opt/edge/policies/managed";
  static const char* const chromePolicyKey = "Software\\Policies\\Google\\Chrome";
  static const char* const edgePolicyKey = "Software\\Policies\\Microsoft\\Edge";
  constexpr Family chromium = Family::kChromium;
  static const std::vector<DoctorBrowser> table = {
      {"chrome",
       chromium,
       "google-chrome",
       {chromeSystem},
       chromePolicies,
       {"flatpak:com.google.Chrome"},
       {chromeKey},
       chromePolicyKey},
      {"chrome-beta", chromium, "google-chrome-beta", {chromeSystem}, chromePolicies, {}, {chromeKey}, chromePolicyKey},
      {"chrome-dev",
       chromium,
       "google-chrome-unstable",
       {chromeSystem},
       chromePolicies,
       {},
       {chromeKey},
       chromePolicyKey},
      {"chrome-canary",
       chromium,
       "google-chrome-canary",
       {chromeSystem},
       chromePolicies,
       {},
       {chromeKey},
       chromePolicyKey},
      {"chromium",
       chromium,
       "chromium",
       {chromiumSystem},
       "/etc/chromium/policies/managed",
       {"snap:chromium", "flatpak:org.chromium.Chromium"},
       {chromiumKey, chromeKey},
       "Software\\Policies\\Chromium"},
      {"edge",
       chromium,
       "microsoft-edge",
       {edgeSystem},
       edgePolicies,
       {"flatpak:com.microsoft.Edge"},
       {edgeKey},
       edgePolicyKey},
      {"edge-beta", chromium, "microsoft-edge-beta", {edgeSystem}, edgePolicies, {}, {edgeKey}, edgePolicyKey},
      {"edge-dev", chromium, "microsoft-edge-dev", {edgeSystem}, edgePolicies, {}, {edgeKey}, edgePolicyKey},
      {"brave",
       chromium,
       "BraveSoftware/Brave-Browser",
       {chromiumSystem},
       nullptr,
       {"snap:brave", "flatpak:com.brave.Browser"},
       {chromiumKey, chromeKey},
       nullptr},
      {"vivaldi",
       chromium,
       "vivaldi",
       {},
       nullptr,
       {"snap:vivaldi", "flatpak:com.vivaldi.Vivaldi"},
       {chromiumKey, chromeKey},
       nullptr},
      {"opera",
       chromium,
       "opera",
       {},
       nullptr,
       {"snap:opera", "flatpak:com.opera.Opera"},
       {chromiumKey, chromeKey},
       nullptr},
      {"firefox",
       Family::kFirefox,
       nullptr,
       {"/usr/lib/mozilla/native-messaging-hosts", "/usr/lib64/mozilla/native-messaging-hosts"},
       nullptr,
       {"snap:firefox", "flatpak:org.mozilla.firefox"},
       {"Software\\Mozilla\\NativeMessagingHosts"},
       nullptr},
  };
  return table;
}

}  // namespace quorvia::nm
