// quorvia-nm: talks to the host the way the extension does, and says what
// came back. For people deploying the host: "does it answer, and with what?"
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <cstdarg>

#include "base/error_info.h"
#include "base/text.h"
#include "child_process.h"
#include "crypto/encrypt.h"
#include "doctor.h"
#include "host/frame.h"
#include "host/json.h"
#include "host/request_cycle.h"
#include "nm.h"

namespace quorvia::nm {

namespace {

// Where the report goes: standard output, or a text doctor shows only when
// the call failed.
std::string* captured = nullptr;

void sayBytes(const std::string& text) {
  if (captured) {
    captured->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

// mingw-w64's stdio is the GNU one, sizes (%zu) included.
#ifdef _WIN32
#define QUORVIA_PRINTF_FORMAT gnu_printf
#else
#define QUORVIA_PRINTF_FORMAT printf
#endif
__attribute__((format(QUORVIA_PRINTF_FORMAT, 1, 2))) void say(const char* format, ...) {
  char line[4096];
  std::va_list arguments;
  va_start(arguments, format);
  const int n = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (n <= 0) return;
  if (static_cast<std::size_t>(n) < sizeof line) return sayBytes(std::string(line, static_cast<std::size_t>(n)));
  std::vector<char> whole(static_cast<std::size_t>(n) + 1);
  va_start(arguments, format);
  std::vsnprintf(whole.data(), whole.size(), format, arguments);
  va_end(arguments);
  sayBytes(std::string(whole.data(), static_cast<std::size_t>(n)));
}

// The origin passed when no extension ID is given; the host ignores it.
constexpr const char* kOrigin = "chrome-extension://quorvianmdiagnosticclientxxxxxx/";
#ifdef _WIN32
constexpr const char* kSeparators = "\\/";
#else
constexpr const char* kSeparators = "/";
#endif
// The largest message Chrome, Edge and Firefox take from a host; reading
// stops there, so a host that never stops writing cannot fill our memory.
constexpr std::uint32_t kBrowserLimit = 1024 * 1024;

constexpr const char* kUsageText =
    "usage:\n"
    "  quorvia-nm call --key KEY [--host PATH] [--browser chrome|firefox] [--command C] [--version N] [--timeout S]\n"
    "      Sends one request to the host as a browser does and shows the answer.\n"
    "  quorvia-nm doctor [--name NAME] [--extension ID]... [--browsers LIST] [--user-data-dir DIR]\n"
    "                    [--no-call] [--root DIR] [--timeout S]\n"
    "      Finds where each browser looks for the host's registration, checks what is there as the\n"
    "      browser would, and calls the host it would start.\n"
    "  quorvia-nm decode --key KEY < captured-response\n"
    "      Decodes a captured response (framed, or just its JSON body).\n"
    "  quorvia-nm --help | --version\n"
    "\n"
    "  --key KEY      the request's AES key text: 16, 24 or 32 bytes in this locale's encoding\n"
    "  --host PATH    the host program (default: quorvia-host beside quorvia-nm)\n"
    "  --command C    the request's command (default: DeviceInfo)\n"
    "  --version N    the request's version, a JSON number (default: 1); alone,\n"
    "                 \"quorvia-nm --version\" prints quorvia-nm's own version\n"
    "  --browser B    start the host as chrome (the origin; on Windows --parent-window=0) or as\n"
    "                 firefox (a manifest path and the add-on ID) would (default: chrome)\n"
    "  --timeout S    stop the host after S seconds, above 0 and at most 86400 (default: 10)\n"
    "  --help         this text\n"
    "\n"
    "doctor:\n"
    "  --name NAME           the host name (default: com.quorvia.deviceinfo)\n"
    "  --extension ID        an extension (32 letters a-p) or add-on ID that must be allowed; repeatable\n"
    "  --browsers LIST       comma-separated, or all (the default), of\n"
    "@BROWSERS@\n"
    "  --user-data-dir DIR   the profile folder a Chromium-family browser is started with\n"
    "  --no-call             check the registrations only; do not start the host\n"
    "  --root DIR            (Linux) read the system folders under DIR instead of /\n"
    "\n"
    "Exit status of call and decode: 0 for a data response that decrypts, 1 for an\n"
    "error response or a broken answer, 2 for wrong usage or a host that cannot be\n"
    "started. Of doctor: 0 when every browser with a registration reaches a working\n"
    "host, 1 when anything is wrong (each problem on a line of its own, starting\n"
    "with \"problem:\") or nothing is registered, 2 for wrong usage.\n";

// A JSON number and nothing else: the text goes into the request as it is.
bool isJsonNumber(const std::string& t) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i - from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  const std::size_t whole = i;
  const std::size_t n = digits();
  if (n == 0 || (n > 1 && t[whole] == '0')) return false;
  if (i < t.size() && t[i] == '.' && (++i, digits() == 0)) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == t.size();
}

std::optional<double> seconds(const std::string& text) {
  if (!isJsonNumber(text)) return std::nullopt;
  const double value = std::strtod(text.c_str(), nullptr);
  if (!(value > 0 && value <= 86400)) return std::nullopt;
  return value;
}

// What the command line asks for: a run, the help or the version; or, for
// wrong usage, what is wrong with it (empty: nothing was asked at all).
// The usage, with the browsers doctor knows named from its table.
std::string usageText() {
  std::string text = kUsageText, names, line;
  for (const auto& b : doctorBrowsers()) {
    if (line.size() + std::strlen(b.name) > 78) names += std::exchange(line, "") + "\n";
    line += (line.empty() ? "                        " : " ") + std::string(b.name);
  }
  names += line;
  text.replace(text.find("@BROWSERS@"), 10, names);
  return text;
}

struct Invocation {
  enum Kind { kRun, kHelp, kVersion, kWrong } kind = kWrong;
  Options options;
  std::string problem;
};

Invocation wrong(std::string problem) { return {Invocation::kWrong, {}, std::move(problem)}; }

Invocation parse(const std::vector<std::string>& argv) {
  // Every option, the commands it applies to, and whether it takes a value.
  struct Known {
    const char* name;
    const char* modes;
    bool value;
  };
  static const Known known[] = {
      {"--key", "call decode", true},      {"--host", "call", true},        {"--browser", "call", true},
      {"--command", "call", true},         {"--version", "call", true},     {"--timeout", "call doctor", true},
      {"--name", "doctor", true},          {"--extension", "doctor", true}, {"--browsers", "doctor", true},
      {"--user-data-dir", "doctor", true}, {"--root", "doctor", true},      {"--no-call", "doctor", false}};
  const auto find = [](const std::string& arg) -> const Known* {
    for (const auto& k : known) {
      if (arg == k.name) return &k;
    }
    return nullptr;
  };
  const std::size_t argc = argv.size();
  if (argc < 2) return wrong("");
  Invocation result{Invocation::kRun, {}, {}};
  Options& o = result.options;
  o.mode = argv[1];
  if (o.mode == "--help" || o.mode == "-h") return {Invocation::kHelp, {}, {}};
  if (o.mode == "--version" && argc == 2) return {Invocation::kVersion, {}, {}};
  if (o.mode != "call" && o.mode != "decode" && o.mode != "doctor") {
    if (find(o.mode)) return wrong(o.mode + " goes after call, decode or doctor");
    return wrong("unknown argument '" + o.mode + "'");
  }
  for (std::size_t i = 2; i < argc; ++i) {
    const std::string& arg = argv[i];
    if (arg == "--help" || arg == "-h") return {Invocation::kHelp, {}, {}};
    const Known* option = find(arg);
    if (!option) return wrong("unknown argument '" + arg + "'");
    if ((" " + std::string(option->modes) + " ").find(" " + o.mode + " ") == std::string::npos) {
      return wrong(arg + " applies to " + option->modes + ", not to " + o.mode);
    }
    if (!option->value) {
      o.call = false;
      continue;
    }
    if (i + 1 >= argc) return wrong(arg + " needs a value");
    const std::string& value = argv[++i];
    if (arg == "--key") {
      o.key = value;
    } else if (arg == "--host") {
      o.host = value;
    } else if (arg == "--browser") {
      if (value != "chrome" && value != "firefox") return wrong("--browser is chrome or firefox, not '" + value + "'");
      o.firefox = value == "firefox";
    } else if (arg == "--command") {
      o.command = value;
    } else if (arg == "--version") {
      if (!isJsonNumber(value)) return wrong("--version needs a JSON number, such as 1, not '" + value + "'");
      o.version = value;
    } else if (arg == "--timeout") {
      const std::optional<double> s = seconds(value);
      if (!s) return wrong("--timeout needs a number of seconds above 0 and at most 86400, not '" + value + "'");
      o.timeoutSeconds = *s;
    } else if (arg == "--name") {
      o.name = value;
    } else if (arg == "--extension") {
      o.extensions.push_back(value);
    } else if (arg == "--browsers") {
      o.browsers += "," + value;
    } else if (arg == "--user-data-dir") {
      o.userDataDir = value;
    } else {
      o.root = value;
    }
  }
  if (o.mode == "doctor") {
    const std::string problem = doctorUsageProblem(o);
    return problem.empty() ? result : wrong(problem);
  }
  if (!o.key) return wrong(o.mode + " needs --key KEY");
  if (o.host.empty()) o.host = hostBesideUs();
  return result;
}

// JSON string contents; the bytes stay as they are: the host reads the
// request's strings in the user's locale encoding, and decoding the answer
// takes the key's bytes as this program got them (UTF-8 on Windows, as a
// browser sends them).
std::string jsonEscape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char u[8];
      std::snprintf(u, sizeof u, "\\u%04x", c);
      out += u;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Shows what a response says; returns this program's exit status.
int report(const std::string& body, const std::string& keyText) {
  picojson::value v;
  const std::string error = picojson::parse(v, body);
  if (!error.empty() || !v.is<picojson::object>()) {
    say("response:     not a JSON object: %s\n", body.c_str());
    return kFailed;
  }
  const picojson::object& o = v.get<picojson::object>();
  if (auto code = o.find("errorCode"); code != o.end() && code->second.is<double>()) {
    const auto message = o.find("errorMessage");
    const double number = code->second.get<double>();
    say("error code:   %.0f\n", number);
    say("message:      %s\n", message != o.end() && message->second.is<std::string>()
                                  ? message->second.get<std::string>().c_str()
                                  : "(none)");
    // The host's messages are Japanese; the English is ours, kept beside the codes.
    const bool whole = number == std::floor(number) && std::fabs(number) < 1e9;
    say("meaning:      %s\n", errorExplanation(whole ? static_cast<std::int32_t>(number) : -1));
    return kFailed;
  }
  const auto data = o.find("data");
  if (data == o.end() || !data->second.is<std::string>()) {
    say("response:     neither data nor an error: %s\n", body.c_str());
    return kFailed;
  }
  try {
    auto provider = makeSystemCipherProvider();
    const SecretBytes plain =
        decryptPayload(data->second.get<std::string>(), fromLocaleMultibyte(keyText), builtInIv, *provider);
    // A wrong key gives bytes that only look like padding now and then, and
    // Wine's CNG does not check the padding at all: the document itself must
    // be a JSON object.
    picojson::value document;
    if (!picojson::parse(document, std::string(plain.begin(), plain.end())).empty() ||
        !document.is<picojson::object>()) {
      say("document:     cannot be decrypted with this key; was it the key of the request?\n");
      return kFailed;
    }
    say("document:\n");
    sayBytes(std::string(plain.begin(), plain.end()));
    return kOk;
  } catch (const ErrorInfo& e) {
    say("document:     cannot be decrypted with this key (step %d failed); was it the key of the request?\n", e.code);
    return kFailed;
  }
}

// Splits a captured answer into its one frame's body, saying what is wrong
// with the framing, if anything. `complete` is false when reading stopped
// early: then what follows the frame is only a lower bound.
std::optional<std::string> frameBody(const std::string& bytes, bool complete = true) {
  if (bytes.empty()) {
    say("frame:        nothing was written\n");
    return std::nullopt;
  }
  if (bytes.size() < kFrameHeaderSize) {
    say("frame:        only %zu bytes, not even a length\n", bytes.size());
    return std::nullopt;
  }
  const std::uint32_t n = decodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data()));
  const std::size_t received = bytes.size() - kFrameHeaderSize;
  say("frame:        %u bytes announced, %zu received%s\n", n, received, complete ? "" : " before reading stopped");
  if (n > kBrowserLimit) {
    say("frame:        more than the %u bytes a browser accepts from a host\n", kBrowserLimit);
    return std::nullopt;
  }
  if (received < n) {
    say("frame:        cut short\n");
    return std::nullopt;
  }
  if (received > n) {
    say("frame:        %s%zu bytes follow the frame; a browser would reject them\n", complete ? "" : "at least ",
        received - n);
    return std::nullopt;
  }
  return bytes.substr(kFrameHeaderSize, n);
}

int callReport(const Options& o) {
  const std::string request = "{\"command\":\"" + jsonEscape(o.command) + "\",\"version\":" + o.version +
                              ",\"key\":\"" + jsonEscape(*o.key) + "\"}";
  say("host:         %s\n", o.host.c_str());
  std::fflush(stdout);
  ChildLimits limits;
  limits.timeLimit = std::chrono::milliseconds(std::llround(o.timeoutSeconds * 1000));
  // Said as soon as it is known, so a host that then stalls has still told
  // us this much; a length over the browsers' limit, or more bytes than the
  // limit allows, ends the reading.
  bool announced = false;
  limits.onOutput = [&](const std::string& out) {
    if (!announced && out.size() >= kFrameHeaderSize) {
      announced = true;
      const std::uint32_t n = decodeFrameLength(reinterpret_cast<const unsigned char*>(out.data()));
      say("length:       %u bytes announced\n", n);
      std::fflush(stdout);
      if (n > kBrowserLimit) return false;
    }
    return out.size() <= kFrameHeaderSize + kBrowserLimit;
  };
  const auto start = std::chrono::steady_clock::now();
  // The arguments each browser passes (Chromium: launch_context.cc, on
  // Windows with the window of a background caller, 0; Firefox:
  // NativeMessaging.sys.mjs), and the folder it starts the host in: the
  // host's own (options.current_directory in launch_context_posix.cc and
  // _win.cc; workdir in NativeMessaging.sys.mjs).
  std::vector<std::string> arguments;
  if (o.firefox) {
    const std::string folder = o.host.substr(0, o.host.find_last_of(kSeparators) + 1);
    arguments = {o.manifest.empty() ? folder + o.name + ".json" : o.manifest,
                 o.extensionId.empty() ? "quorvia-nm@quorvia.example" : o.extensionId};
  } else {
    arguments = {o.extensionId.empty() ? kOrigin : "chrome-extension://" + o.extensionId + "/"};
#ifdef _WIN32
    arguments.push_back("--parent-window=0");
#endif
  }
  const ChildResult child = runChild(o.host, arguments, encodeFrame(request), limits);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (!child.started) {
    say("start:        failed: %s\n", child.error.c_str());
    return kUsage;
  }
  if (child.stopped == Stop::kTimeLimit) {
    say("time limit:   %g s passed; %s\n", o.timeoutSeconds,
        child.exitedBeforeStop ? "the host has exited, but another process still holds its output open"
                               : "the host was stopped");
  } else if (child.stopped == Stop::kHostGone) {
    say("output:       the host has exited, but another process still holds its output open; reading stopped\n");
  } else if (child.stopped == Stop::kCaller && child.out.size() > kFrameHeaderSize + kBrowserLimit) {
    say("output:       reading stopped after %zu bytes, more than a browser reads\n", child.out.size());
  }
  if (child.exitStatus >= 0 || child.exitedBeforeStop) {
    say("exit status:  %d\n", child.exitStatus);
  } else {
    say("exit status:  none, stopped\n");
  }
  say("time:         %.1f ms\n", ms);
  const std::optional<std::string> body = frameBody(child.out, child.stopped == Stop::kNone);
  if (!body) return kFailed;
  const int status = report(*body, *o.key);
  // A browser takes a whole frame, but a host that does not then exit is
  // still wrong.
  if (child.stopped != Stop::kNone && !child.exitedBeforeStop) return kFailed;
  // The exit status must agree with the kind of answer.
  if ((status == kOk) != (child.exitStatus == 0)) {
    say("exit status:  does not match the answer\n");
    return kFailed;
  }
  return status;
}

}  // namespace

int call(const Options& o, std::string* report) {
  captured = report;
  const int status = callReport(o);
  captured = nullptr;
  return status;
}

namespace {

int decode(const Options& o) {
  // No more than a browser would read, and one byte to see there is more.
  constexpr std::size_t kMost = kFrameHeaderSize + kBrowserLimit + 1;
  std::string bytes;
  char buffer[65536];
  std::size_t n;
  while (bytes.size() < kMost &&
         (n = std::fread(buffer, 1, std::min(sizeof buffer, kMost - bytes.size()), stdin)) > 0) {
    bytes.append(buffer, n);
  }
  if (bytes.size() == kMost) {
    say("input:        more than a browser reads from a host; reading stopped after %zu bytes\n", kMost);
    return kFailed;
  }
  if (!bytes.empty() && bytes[0] == '{') return report(bytes, *o.key);
  const std::optional<std::string> body = frameBody(bytes);
  return body ? report(*body, *o.key) : kFailed;
}

}  // namespace

}  // namespace quorvia::nm

namespace {

int run(const std::vector<std::string>& arguments) {
  using namespace quorvia::nm;
  const Invocation invocation = parse(arguments);
  switch (invocation.kind) {
    case Invocation::kHelp:
      std::fputs(usageText().c_str(), stdout);
      return std::fflush(stdout) == 0 ? kOk : kUsage;
    case Invocation::kVersion:
      std::fputs("quorvia-nm " QUORVIA_VERSION "\n", stdout);
      return std::fflush(stdout) == 0 ? kOk : kUsage;
    case Invocation::kWrong:
      if (invocation.problem.empty()) {
        std::fputs(usageText().c_str(), stderr);
      } else {
        std::fprintf(stderr, "quorvia-nm: %s (see quorvia-nm --help)\n", invocation.problem.c_str());
      }
      return kUsage;
    case Invocation::kRun:
      break;
  }
  // Text mode until here, for the usage; the frames are bytes.
  useBinaryStdio();
  const Options& options = invocation.options;
  const int status = options.mode == "call"     ? call(options)
                     : options.mode == "doctor" ? doctor(options)
                                                : decode(options);
  std::fflush(stdout);
  return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::setlocale(LC_CTYPE, "");
  return run(quorvia::nm::utf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  // The key is typed in the user's encoding, just as the host reads it.
  std::setlocale(LC_CTYPE, "");
  return run(std::vector<std::string>(argv, argv + argc));
}
#endif
