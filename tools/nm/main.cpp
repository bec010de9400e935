// quorvia-nm: talks to the host the way the extension does, and says what
// came back. For people deploying the host: "does it answer, and with what?"
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "crypto/encrypt.h"
#include "host/error_info.h"
#include "host/frame.h"
#include "host/json.h"
#include "host/request_cycle.h"
#include "host/text.h"

namespace quorvia::nm {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The origin a browser would pass; the host ignores it.
constexpr const char* kOrigin = "chrome-extension://quorvianmdiagnosticclientxxxxxx/";

void usage() {
  std::fputs(
      "usage:\n"
      "  quorvia-nm call --key KEY [--host PATH] [--command C] [--version N]\n"
      "      Sends one request to the host as a browser does and shows the answer.\n"
      "  quorvia-nm decode --key KEY < captured-response\n"
      "      Decodes a captured response (framed, or just its JSON body).\n"
      "Exit status: 0 for a data response that decrypts, 1 for an error response or\n"
      "a broken answer, 2 for wrong usage or a host that cannot be started.\n",
      stderr);
}

struct Options {
  std::string mode;
  std::optional<std::string> key;
  std::string host;
  std::string command = "DeviceInfo";
  std::string version = "1";
};

std::optional<Options> parse(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  Options o;
  o.mode = argv[1];
  if (o.mode != "call" && o.mode != "decode") return std::nullopt;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (arg == "--key") {
      o.key = value;
    } else if (arg == "--host" && o.mode == "call") {
      o.host = value;
    } else if (arg == "--command" && o.mode == "call") {
      o.command = value;
    } else if (arg == "--version" && o.mode == "call") {
      o.version = value;
    } else {
      return std::nullopt;
    }
  }
  if (!o.key) return std::nullopt;
  if (o.host.empty()) o.host = hostBesideUs();
  return o;
}

// JSON string contents; the bytes stay as they are, since the host reads the
// request's strings in the user's locale encoding, as this program got them.
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
    std::printf("response:     not a JSON object: %s\n", body.c_str());
    return kFailed;
  }
  const picojson::object& o = v.get<picojson::object>();
  if (auto code = o.find("errorCode"); code != o.end() && code->second.is<double>()) {
    const auto message = o.find("errorMessage");
    std::printf("error code:   %.0f\n", code->second.get<double>());
    std::printf("message:      %s\n", message != o.end() && message->second.is<std::string>()
                                          ? message->second.get<std::string>().c_str()
                                          : "(none)");
    return kFailed;
  }
  const auto data = o.find("data");
  if (data == o.end() || !data->second.is<std::string>()) {
    std::printf("response:     neither data nor an error: %s\n", body.c_str());
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
      std::printf("document:     cannot be decrypted with this key; was it the key of the request?\n");
      return kFailed;
    }
    std::printf("document:\n");
    std::fwrite(plain.data(), 1, plain.size(), stdout);
    return kOk;
  } catch (const ErrorInfo& e) {
    std::printf("document:     cannot be decrypted with this key (step %d failed); was it the key of the request?\n",
                e.code);
    return kFailed;
  }
}

// Splits a captured answer into its one frame's body, saying what is wrong
// with the framing, if anything.
std::optional<std::string> frameBody(const std::string& bytes) {
  if (bytes.empty()) {
    std::printf("frame:        nothing was written\n");
    return std::nullopt;
  }
  if (bytes.size() < kFrameHeaderSize) {
    std::printf("frame:        only %zu bytes, not even a length\n", bytes.size());
    return std::nullopt;
  }
  const std::uint32_t n = decodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data()));
  const std::size_t received = bytes.size() - kFrameHeaderSize;
  std::printf("frame:        %u bytes announced, %zu received\n", n, received);
  if (received < n) {
    std::printf("frame:        cut short\n");
    return std::nullopt;
  }
  if (received > n) {
    std::printf("frame:        %zu bytes follow the frame; a browser would reject them\n", received - n);
    return std::nullopt;
  }
  return bytes.substr(kFrameHeaderSize, n);
}

int call(const Options& o) {
  const std::string request = "{\"command\":\"" + jsonEscape(o.command) + "\",\"version\":" + o.version +
                              ",\"key\":\"" + jsonEscape(*o.key) + "\"}";
  std::printf("host:         %s\n", o.host.c_str());
  const auto start = std::chrono::steady_clock::now();
  const ChildResult child = runChild(o.host, {kOrigin}, encodeFrame(request));
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (!child.started) {
    std::printf("start:        failed: %s\n", child.error.c_str());
    return kUsage;
  }
  std::printf("exit status:  %d\n", child.exitStatus);
  std::printf("time:         %.1f ms\n", ms);
  const std::optional<std::string> body = frameBody(child.out);
  if (!body) return kFailed;
  const int status = report(*body, *o.key);
  // The exit status must agree with the kind of answer.
  if ((status == kOk) != (child.exitStatus == 0)) {
    std::printf("exit status:  does not match the answer\n");
    return kFailed;
  }
  return status;
}

int decode(const Options& o) {
  std::string bytes;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) bytes.append(buffer, n);
  if (!bytes.empty() && bytes[0] == '{') return report(bytes, *o.key);
  const std::optional<std::string> body = frameBody(bytes);
  return body ? report(*body, *o.key) : kFailed;
}

}  // namespace

}  // namespace quorvia::nm

int main(int argc, char** argv) {
  using namespace quorvia::nm;
  // The key is typed in the user's encoding, just as the host reads it.
  std::setlocale(LC_CTYPE, "");
  useBinaryStdio();
  const std::optional<Options> options = parse(argc, argv);
  if (!options) {
    usage();
    return kUsage;
  }
  const int status = options->mode == "call" ? call(*options) : decode(*options);
  std::fflush(stdout);
  return status;
}
