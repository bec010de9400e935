#pragma once
// What the browsers accept in a native messaging host manifest, written once
// for the program that writes manifests (quorvia-manifest) and the one that
// checks them (quorvia-nm doctor).
#include <string>

namespace quorvia::manifest {

// Chromium's rule (native_messaging_host_manifest.cc, IsValidName): [a-z0-9_]
// in parts joined by single dots. Firefox's schema is looser (\w), so a name
// Chromium takes is taken by both.
bool validHostName(const std::string& name);

// 32 letters a-p: the SHA-256 of the extension's key in Chromium's alphabet.
bool validChromeId(const std::string& id);

// Firefox's ExtensionID pattern (toolkit/components/extensions/schemas/
// manifest.json): {GUID} or name@domain of letters, digits, '.', '-', '_',
// case-insensitive. Anything else (qa+team@example.com) fails the schema of
// native_manifest.json, and with it the whole manifest.
bool validFirefoxId(const std::string& id);

}  // namespace quorvia::manifest
