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

}  // namespace

int main() {
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
