// quorvia-manifest: writes one browser's native messaging host manifest from
// the template. Every installer uses it (install.sh and the Debian package
// build on Linux, install.cmd and the MSI on Windows), so the rules for names
// and extension IDs and the filling of the template exist once.
//
//   quorvia-manifest --template FILE (--out FILE | --check) --host PATH [--root DIR]
//                    [--name NAME] (--chrome-ids ID[,ID...] | --firefox-ids ID[,ID...])
//   quorvia-manifest --check-name NAME
//   quorvia-manifest --help | --version      (each only as the one argument)
//
// --check tests every input and writes nothing, so a script can refuse a
// mistake in its second manifest before it has changed anything for the first.
// --root DIR: PATH is the host's place inside the image DIR; it must exist
// there, and the manifest names PATH itself.
//
// Exit status: 0 written, 1 the file could not be read or written, 2 wrong
// usage or an input that the browsers would reject.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "manifest_rules.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr const char* kDefaultName = "com.quorvia.deviceinfo";

constexpr const char* kUsageText =
    "usage: quorvia-manifest --template FILE (--out FILE | --check) --host PATH [--root DIR]\n"
    "                        [--name NAME] (--chrome-ids ID[,ID...] | --firefox-ids ID[,ID...])\n"
    "       quorvia-manifest --check-name NAME\n"
    "       quorvia-manifest --help | --version\n"
    "\n"
    "Writes one browser family's native messaging host manifest from the template,\n"
    "after checking the name, the IDs and the host. Every installer runs it.\n"
    "\n"
    "  --template FILE      the manifest template (host-manifest.json.in)\n"
    "  --out FILE           where to write the manifest (replaced in one step)\n"
    "  --check              check every input and write nothing\n"
    "  --host PATH          the host program; the manifest names its absolute path\n"
    "  --root DIR           PATH is the host's place inside the image DIR\n"
    "  --name NAME          the host name (default: com.quorvia.deviceinfo)\n"
    "  --chrome-ids LIST    Chrome, Chromium and Edge extension IDs (32 letters a-p)\n"
    "  --firefox-ids LIST   Firefox add-on IDs ({GUID} or name@domain)\n"
    "  --check-name NAME    only check a host name\n"
    "\n"
    "Every option at most once. --help and --version only as the one argument.\n"
    "Exit status: 0 written (or checked), 1 a file could not be read or written,\n"
    "2 wrong usage or an input that the browsers would reject.\n";

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "quorvia-manifest: %s\n", message.c_str());
  return status;
}

// Browsers read the manifest as UTF-8 JSON: a value that is not UTF-8 could
// never name the file it meant.
bool validUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= s.size() + (extra == 0)) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

bool hasControl(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Both browser families reject any other name, and it becomes part of a file
// name and a registry key, so it must never climb out of either.
int checkName(const std::string& name) {
  if (!quorvia::manifest::validHostName(name)) {
    return fail(kUsage, "invalid host name '" + name +
                            "': use lower-case letters, digits and '_', in parts joined by single dots (like " +
                            kDefaultName + ")");
  }
  return kOk;
}

// One Firefox ID that the browser rejects makes it reject the whole manifest,
// so every other add-on would lose the host as well.
bool validId(bool chrome, const std::string& id) {
  return chrome ? quorvia::manifest::validChromeId(id) : quorvia::manifest::validFirefoxId(id);
}

// "a, b,,c d" -> a, b, c, d; duplicates dropped, order kept.
std::vector<std::string> splitIds(const std::string& list) {
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

std::string jsonStringBody(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

#ifdef _WIN32
std::wstring wide(const std::string& s) {
  std::wstring out(s.size(), L'\0');
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? n : 0);
  return out;
}

std::optional<std::string> utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

// An absolute path, so the manifest still leads to the host wherever the
// manifest itself is moved.
std::optional<std::string> absoluteHost(const std::string& path, std::string& error) {
  static wchar_t full[32768];
  const DWORD n = GetFullPathNameW(wide(path).c_str(), 32768, full, nullptr);
  if (n == 0 || n >= 32768) {
    error = "cannot resolve host path " + path;
    return std::nullopt;
  }
  const DWORD attributes = GetFileAttributesW(full);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = "host program not found: " + utf8(std::wstring(full, n)).value_or(path);
    return std::nullopt;
  }
  return utf8(std::wstring(full, n));
}

bool isProgram(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Written beside and renamed, so a browser never reads half a manifest. An
// antivirus scanner may hold the old file for a moment; a failure here rolls a
// whole MSI installation back, so a sharing violation is waited out a little.
int writeFile(const std::string& out, const std::string& text) {
  const std::wstring target = wide(out);
  const std::wstring temp = target + L".tmp";
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE &&
                  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) {
    DeleteFileW(temp.c_str());
    return fail(kFailed, "cannot write " + out + ".tmp");
  }
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return kOk;
    const DWORD error = GetLastError();
    if (attempt == 10 ||
        (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION)) {
      DeleteFileW(temp.c_str());
      return fail(kFailed, "cannot replace " + out + " (error " + std::to_string(error) + ")");
    }
    Sleep(200);
  }
}
#else
std::optional<std::string> absoluteHost(const std::string& path, std::string& error) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) {
    error = "host program not found: " + path + " (build it, or give --host PATH)";
    return std::nullopt;
  }
  return std::string(resolved);
}

bool isProgram(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

int writeFile(const std::string& out, const std::string& text) {
  std::string temp = out + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return fail(kFailed, "cannot write in the folder of " + out);
  // Browsers run as other users must be able to read it.
  bool ok = fchmod(fd, 0644) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    done += ok ? static_cast<std::size_t>(n) : 0;
  }
  ok = close(fd) == 0 && ok && rename(temp.c_str(), out.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return fail(kFailed, "cannot write " + out);
  }
  return kOk;
}
#endif

// The host's path as the manifest will name it. With a root, PATH is taken
// as it will be inside the image: absolute, without "." or "..", and it is
// checked under the root.
std::optional<std::string> hostPath(const std::string& host, const std::optional<std::string>& root,
                                    std::string& error) {
  std::optional<std::string> path;
  if (!root) {
    path = absoluteHost(host, error);
    if (!path) return std::nullopt;
  } else {
    const bool absolute = !host.empty() && (host[0] == '/' || host[0] == '\\' || host.find(':') == 1);
    const std::regex dots("(^|.*[/\\\\])\\.\\.?([/\\\\].*|$)");
    if (!absolute || std::regex_match(host, dots)) {
      error = "with --root, --host must be the host's absolute path inside the image, without . or ..: " + host;
      return std::nullopt;
    }
    path = host;
  }
  const std::string onDisk = root ? *root + *path : *path;
  if (!isProgram(onDisk)) {
    error = "host program not found or not an executable file: " + onDisk;
    return std::nullopt;
  }
  if (hasControl(*path) || !validUtf8(*path)) {
    error = "host path has control characters or is not UTF-8: " + *path;
    return std::nullopt;
  }
  return path;
}

struct Options {
  std::map<std::string, std::string> values;
  bool checkOnly = false;
  std::optional<std::string> get(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
};

// Every option once and nothing else: a second --name or --out smuggled in
// through a quoted installer property must not change what is written.
std::optional<Options> parse(const std::vector<std::string>& args, std::string& error) {
  static const char* const known[] = {"--template", "--out",        "--host",       "--root",
                                      "--name",     "--chrome-ids", "--firefox-ids"};
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool isKnown = arg == "--check";
    for (const char* k : known) isKnown = isKnown || arg == k;
    if (arg == "--help" || arg == "--version" || arg == "--check-name") {
      // Never a way for a value that broke out of its quotes to skip the work.
      error = arg + (arg == "--check-name" ? " NAME" : "") + " goes alone";
      return std::nullopt;
    }
    if (!isKnown) {
      error = "unknown argument '" + arg + "'";
      return std::nullopt;
    }
    if ((arg == "--check" && o.checkOnly) || o.values.count(arg)) {
      error = arg + " given twice";
      return std::nullopt;
    }
    if (arg == "--check") {
      o.checkOnly = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs a value";
      return std::nullopt;
    }
    o.values[arg] = args[++i];
  }
  if (!o.get("--template") || !o.get("--host") || o.get("--out").has_value() == o.checkOnly) {
    error = "--template, --host and either --out or --check are required";
    return std::nullopt;
  }
  if (o.get("--chrome-ids").has_value() == o.get("--firefox-ids").has_value()) {
    error = "give exactly one of --chrome-ids and --firefox-ids";
    return std::nullopt;
  }
  return o;
}

int run(const Options& o) {
  const std::string name = o.get("--name").value_or(kDefaultName);
  if (const int status = checkName(name); status != kOk) return status;

  const bool chrome = o.get("--chrome-ids").has_value();
  const std::vector<std::string> ids = splitIds(*o.get(chrome ? "--chrome-ids" : "--firefox-ids"));
  if (ids.empty()) return fail(kUsage, chrome ? "no Chrome extension IDs given" : "no Firefox add-on IDs given");
  std::string allowed;
  for (const auto& id : ids) {
    if (!validId(chrome, id)) {
      return fail(kUsage, chrome ? "invalid Chrome extension ID '" + id +
                                       "': expected 32 letters from a to p (the ID alone, without chrome-extension://)"
                                 : "invalid Firefox add-on ID '" + id +
                                       "': expected {GUID} or name@domain (letters, digits, '.', '-', '_')");
    }
    allowed += (allowed.empty() ? "\"" : ", \"") + (chrome ? "chrome-extension://" + id + "/" : id) + "\"";
  }

  std::string error;
  const std::optional<std::string> host = hostPath(*o.get("--host"), o.get("--root"), error);
  if (!host) return fail(kUsage, error);

  const std::string templatePath = *o.get("--template");
#ifdef _WIN32
  std::ifstream in(wide(templatePath).c_str(), std::ios::binary);
#else
  std::ifstream in(templatePath, std::ios::binary);
#endif
  if (!in) return fail(kFailed, "cannot read template " + templatePath);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // The placeholders are replaced in this order so that a value can never be
  // mistaken for a later placeholder: only the path is free text.
  replaceAll(text, "@NAME@", name);
  replaceAll(text, "@ALLOWED_KEY@", chrome ? "allowed_origins" : "allowed_extensions");
  replaceAll(text, "@ALLOWED@", allowed);
  replaceAll(text, "@PATH@", jsonStringBody(*host));
  return o.checkOnly ? kOk : writeFile(*o.get("--out"), text);
}

int main_utf8(const std::vector<std::string>& args) {
  // A newline or other control character in any value is a mistake (a list
  // made with $(cat file) keeps its line ends), never something to write.
  for (const auto& arg : args) {
    if (hasControl(arg) || !validUtf8(arg)) return fail(kUsage, "control characters or invalid text in an argument");
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "--version")) {
    std::fputs(args[0] == "--help" ? kUsageText : "quorvia-manifest " QUORVIA_VERSION "\n", stdout);
    return std::fflush(stdout) == 0 ? kOk : kFailed;
  }
  // The scripts ask before they use a name in a path or a registry key.
  if (!args.empty() && args[0] == "--check-name") {
    if (args.size() != 2) return fail(kUsage, "--check-name NAME goes alone (see quorvia-manifest --help)");
    return checkName(args[1]);
  }
  std::string error;
  const std::optional<Options> options = parse(args, error);
  if (!options) return fail(kUsage, error + " (see quorvia-manifest --help)");
  return run(*options);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::optional<std::string> arg = utf8(argv[i]);
    if (!arg) return fail(kUsage, "an argument is not valid Unicode");
    args.push_back(*arg);
  }
  return main_utf8(args);
}
#else
int main(int argc, char** argv) { return main_utf8(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
