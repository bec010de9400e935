// The rules for host names and extension IDs, shared by quorvia-manifest,
// quorvia-nm doctor and the MSI's check, which must refuse exactly what
// quorvia-manifest would refuse, before anything on the machine has changed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvia::ids {

inline bool lowerAlnumOr(char c, const char* others) {
  if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  for (; *others != '\0'; ++others) {
    if (c == *others) return true;
  }
  return false;
}

// Chromium's rule (native_messaging_host_manifest.cc, IsValidName); Firefox's
// schema is looser (\w), so a name Chromium takes is taken by both. Both
// browser families reject any other name, and it becomes part of a file
// name and a registry key, so it must never climb out of either:
// [a-z0-9_]+ in parts joined by single dots.
inline bool validName(const std::string& name) {
  bool partStarted = false;
  for (char c : name) {
    if (c == '.') {
      if (!partStarted) return false;
      partStarted = false;
    } else if (lowerAlnumOr(c, "_")) {
      partStarted = true;
    } else {
      return false;
    }
  }
  return partStarted;
}

inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Chrome's IDs are 32 letters a-p (the SHA-256 of the extension's key in
// Chromium's alphabet). Firefox's rule is its own (the ExtensionID pattern of
// toolkit/components/extensions/schemas/manifest.json): a {GUID} or
// name@domain from letters, digits, '.', '-' and '_' (either case), and one
// ID it rejects makes it reject the whole manifest, so every other add-on
// would lose the host as well.
inline bool validId(bool chrome, const std::string& id) {
  if (chrome) {
    if (id.size() != 32) return false;
    for (char c : id) {
      if (c < 'a' || c > 'p') return false;
    }
    return true;
  }
  static const char guid[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  if (id.size() == sizeof guid - 1 && id.front() == '{') {
    for (std::size_t i = 0; i < id.size(); ++i) {
      const char c = lower(id[i]);
      const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      if (guid[i] == 'x' ? !hex : c != guid[i]) return false;
    }
    return true;
  }
  const std::size_t at = id.find('@');
  if (at == std::string::npos || at + 1 == id.size()) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i != at && !lowerAlnumOr(lower(id[i]), "._-")) return false;
  }
  return true;
}

// "a, b,,c d" -> a, b, c, d; duplicates dropped, order kept.
inline std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> ids;
  std::string item;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && list[i] != ',' && list[i] != ' ') {
      item += list[i];
      continue;
    }
    bool seen = item.empty();
    for (const auto& id : ids) seen = seen || id == item;
    if (!seen) ids.push_back(item);
    item.clear();
  }
  return ids;
}

// Why the first ID of the list that a browser would reject is wrong; empty
// when every one is right.
inline std::string problem(bool chrome, const std::vector<std::string>& ids) {
  for (const auto& id : ids) {
    if (validId(chrome, id)) continue;
    return chrome ? "invalid Chrome extension ID '" + id +
                        "': expected 32 letters from a to p (the ID alone, without chrome-extension://)"
                  : "invalid Firefox add-on ID '" + id +
                        "': expected {GUID} or name@domain (letters, digits, '.', '-', '_')";
  }
  return {};
}

}  // namespace quorvia::ids
