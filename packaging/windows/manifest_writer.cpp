// quorvia-manifest: writes one browser's native messaging host manifest from
// the template. The Windows installers use it because neither cmd nor the MSI
// engine can safely put a path and a list of IDs into JSON.
//
//   quorvia-manifest --template FILE (--out FILE | --check) --host PATH [--name NAME]
//                    (--chrome-ids ID[,ID...] | --firefox-ids ID[,ID...])
//   quorvia-manifest --check-name NAME
//
// --check tests every input and writes nothing, so a script can refuse a
// mistake in its second manifest before it has changed anything for the first.
//
// Exit status: 0 written, 1 the file could not be read or written, 2 wrong
// usage or an input that the browsers would reject.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Empty when the text is not valid UTF-16 (a lone surrogate): such a path
// has no UTF-8 form, and an empty one would lead the browser nowhere.
std::optional<std::string> toUtf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

int fail(int status, const std::wstring& message) {
  std::fwprintf(stderr, L"quorvia-manifest: %ls\n", message.c_str());
  return status;
}

struct Options {
  std::wstring templatePath;
  std::wstring outPath;
  std::wstring host;
  std::wstring name = L"com.quorvia.deviceinfo";
  std::optional<std::wstring> chromeIds;
  std::optional<std::wstring> firefoxIds;
  bool checkOnly = false;
};

std::optional<Options> parse(int argc, wchar_t** argv, std::wstring& error) {
  Options o;
  for (int i = 1; i < argc; i += 2) {
    const std::wstring arg = argv[i];
    if (arg == L"--check") {
      o.checkOnly = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) {
      error = arg + L" needs a value";
      return std::nullopt;
    }
    const std::wstring value = argv[i + 1];
    // Every option once: a second --out smuggled in through a quoted
    // property value must not redirect the file.
    auto once = [&](auto& field, bool seen) {
      if (seen) {
        error = arg + L" given twice";
        return false;
      }
      field = value;
      return true;
    };
    bool ok;
    if (arg == L"--template") {
      ok = once(o.templatePath, !o.templatePath.empty());
    } else if (arg == L"--out") {
      ok = once(o.outPath, !o.outPath.empty());
    } else if (arg == L"--host") {
      ok = once(o.host, !o.host.empty());
    } else if (arg == L"--name") {
      ok = once(o.name, o.name != L"com.quorvia.deviceinfo");
    } else if (arg == L"--chrome-ids") {
      ok = once(o.chromeIds, o.chromeIds.has_value());
    } else if (arg == L"--firefox-ids") {
      ok = once(o.firefoxIds, o.firefoxIds.has_value());
    } else {
      error = L"unknown argument " + arg;
      return std::nullopt;
    }
    if (!ok) return std::nullopt;
  }
  if (o.templatePath.empty() || o.host.empty() || o.outPath.empty() != o.checkOnly) {
    error = L"--template, --host and either --out or --check are required";
    return std::nullopt;
  }
  if (o.chromeIds.has_value() == o.firefoxIds.has_value()) {
    error = L"give exactly one of --chrome-ids and --firefox-ids";
    return std::nullopt;
  }
  return o;
}

// "a, b,,c" -> a, b, c; duplicates dropped, order kept.
std::vector<std::wstring> splitIds(const std::wstring& list) {
  std::vector<std::wstring> ids;
  std::wstringstream in(list);
  std::wstring item;
  while (std::getline(in, item, L',')) {
    const auto first = item.find_first_not_of(L" \t");
    if (first == std::wstring::npos) continue;
    item = item.substr(first, item.find_last_not_of(L" \t") - first + 1);
    bool seen = false;
    for (const auto& id : ids) seen = seen || id == item;
    if (!seen) ids.push_back(item);
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

// Both browser families reject any other name, and it becomes part of a file
// name and a registry key, so it must never climb out of either.
int checkName(const std::wstring& name) {
  if (!std::regex_match(name, std::wregex(L"[a-z0-9_]+(\\.[a-z0-9_]+)*"))) {
    return fail(kUsage, L"invalid host name '" + name +
                            L"': use lower-case letters, digits and '_', in parts joined by single dots");
  }
  return kOk;
}

int run(const Options& o) {
  if (const int status = checkName(o.name); status != kOk) return status;

  const bool chrome = o.chromeIds.has_value();
  const std::vector<std::wstring> ids = splitIds(chrome ? *o.chromeIds : *o.firefoxIds);
  if (ids.empty()) {
    return fail(kUsage, chrome ? L"no Chrome extension IDs given" : L"no Firefox add-on IDs given");
  }
  const std::wregex chromeId(L"[a-p]{32}");
  const std::wregex firefoxId(
      L"\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}|[A-Za-z0-9._+-]*@[A-Za-z0-9._"
      L"-]+");
  std::string allowed;
  for (const auto& id : ids) {
    if (chrome && !std::regex_match(id, chromeId)) {
      return fail(kUsage, L"invalid Chrome extension ID '" + id + L"': expected 32 letters from a to p");
    }
    if (!chrome && !std::regex_match(id, firefoxId)) {
      return fail(kUsage, L"invalid Firefox add-on ID '" + id + L"': expected {GUID} or name@domain");
    }
    if (!allowed.empty()) allowed += ", ";
    allowed +=
        "\"" + std::string(chrome ? "chrome-extension://" : "") + toUtf8(id).value() + (chrome ? "/" : "") + "\"";
  }

  // An absolute path, so the manifest still leads to the host wherever the
  // manifest itself is moved.
  wchar_t full[32768];
  const DWORD n = GetFullPathNameW(o.host.c_str(), 32768, full, nullptr);
  if (n == 0 || n >= 32768) return fail(kUsage, L"cannot resolve host path " + o.host);
  const std::wstring host(full, n);
  const DWORD attributes = GetFileAttributesW(host.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return fail(kUsage, L"host program not found: " + host);
  }
  for (wchar_t c : host) {
    if (c < 0x20) return fail(kUsage, L"host path contains control characters");
  }
  const std::optional<std::string> hostUtf8 = toUtf8(host);
  if (!hostUtf8) return fail(kUsage, L"host path is not valid Unicode: " + host);

  std::ifstream in(o.templatePath.c_str(), std::ios::binary);
  if (!in) return fail(kFailed, L"cannot read template " + o.templatePath);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  in.close();
  // The placeholders are replaced in this order so that a value can never be
  // mistaken for a later placeholder: only the path is free text.
  replaceAll(text, "@NAME@", toUtf8(o.name).value());
  replaceAll(text, "@ALLOWED_KEY@", chrome ? "allowed_origins" : "allowed_extensions");
  replaceAll(text, "@ALLOWED@", allowed);
  replaceAll(text, "@PATH@", jsonStringBody(*hostUtf8));
  if (o.checkOnly) return kOk;

  // Written beside and renamed, so a browser never reads half a manifest.
  const std::wstring temp = o.outPath + L".tmp";
  {
    std::ofstream out(temp.c_str(), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      DeleteFileW(temp.c_str());
      return fail(kFailed, L"cannot write " + temp);
    }
  }
  if (!MoveFileExW(temp.c_str(), o.outPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(temp.c_str());
    return fail(kFailed, L"cannot replace " + o.outPath);
  }
  return kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // The scripts ask before they use a name in a registry path.
  if (argc == 3 && std::wstring(argv[1]) == L"--check-name") return checkName(argv[2]);
  std::wstring error;
  const std::optional<Options> options = parse(argc, argv, error);
  if (!options) {
    std::fwprintf(stderr,
                  L"quorvia-manifest: %ls\n"
                  L"usage: quorvia-manifest --template FILE (--out FILE | --check) --host PATH [--name NAME]\n"
                  L"                        (--chrome-ids ID[,ID...] | --firefox-ids ID[,ID...])\n",
                  error.c_str());
    return kUsage;
  }
  return run(*options);
}
