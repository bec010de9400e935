#include <cstdio>
#include <cstring>
#include <exception>

#include "crypto/cipher_provider.h"
#include "device/probes.h"
#include "host/byte_stream.h"
#include "host/platform_session.h"
#include "host/request_cycle.h"

namespace {

// Exit status for a failure that has no code of its own (memory exhaustion
// and the like): no frame is written, so the browser sees the host fail
// rather than a half-truth.
constexpr int kUncodedFailure = 2;

// Browsers start the host with arguments of their own, and it must never
// refuse or answer them:
// - Chrome, Chromium and Edge pass the caller's origin,
//   chrome-extension://ID/, and on Windows also --parent-window=N ("The first
//   argument to the native messaging host is the origin of the caller [...]
//   On Windows, the native messaging host is also passed a command line
//   argument with a handle to the calling Chrome native window:
//   --parent-window=<decimal handle value>";
//   https://developer.chrome.com/docs/extensions/develop/concepts/native-messaging#native-messaging-host-protocol).
// - Firefox passes two: "The complete path to the app manifest" and "The ID
//   [...] of the extension that started it"
//   (https://developer.mozilla.org/en-US/docs/Mozilla/Add-ons/WebExtensions/Native_messaging).
// So the rule: --help or --version as the one and only argument prints and
// exits 0, which no browser ever passes; anything else is the browser's and
// is ignored, as it always was.
bool answeredAlone(int argc, char** argv) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--version") == 0) {
    std::fputs("quorvia-host " QUORVIA_VERSION "\n", stdout);
    return true;
  }
  if (std::strcmp(argv[1], "--help") == 0) {
    std::fputs(
        "usage: quorvia-host [--help | --version]\n"
        "\n"
        "The native messaging host of the Quorvia browser extension. A browser starts it,\n"
        "writes one DeviceInfo request on its standard input and reads one response frame\n"
        "from its standard output. The arguments browsers pass (the extension's origin, on\n"
        "Windows --parent-window=N; Firefox: the manifest's path and the add-on ID) are\n"
        "ignored. To ask it by hand and see the answer decrypted, use quorvia-nm.\n"
        "\n"
        "  --help     this text, and exit (only as the one argument)\n"
        "  --version  the version, and exit (only as the one argument)\n"
        "\n"
        "Exit status: 0 after a data response, 1 after an error response, 2 after a\n"
        "failure that has no code (nothing written).\n",
        stdout);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Before the session: printing loads nothing and touches no system state.
  if (answeredAlone(argc, argv)) return std::fflush(stdout) == 0 ? 0 : kUncodedFailure;
  try {
    quorvia::PlatformSession session;
    quorvia::StdoutWriter out;
    quorvia::StdinReader in;
    auto cipher = quorvia::makeSystemCipherProvider();
    // The system is touched only once a request has been accepted.
    const quorvia::DeviceCollector collect = [](quorvia::DeviceRecord& record) {
      auto local = quorvia::makeLocalSystem();
      auto wmi = quorvia::makeWmiSystem();
      quorvia::ProbeBuffer buffer;
      quorvia::collectDeviceInfo(*local, *wmi, record, buffer);
    };
    return quorvia::runHost(session.ready(), in, out, collect, *cipher);
  } catch (...) {
    return kUncodedFailure;
  }
}
