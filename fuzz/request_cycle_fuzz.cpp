// Any bytes as the host's standard input, through the whole request cycle
// with a system whose probes all succeed and the real cipher: the output must
// be exactly one complete frame, a data response with status 0 or an error
// response of the error table with status 1, and nothing else.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "device/probes.h"
#include "host/request_cycle.h"
#include "host/response.h"
#include "unit/fake_system.h"
#include "unit/memory_streams.h"

namespace {

const std::set<std::string>& errorBodies() {
  static const std::set<std::string> bodies = [] {
    std::set<std::string> s;
    for (int code : {1,  2,  3,   4,   11,  21,  22,  23,  24,  25,  26,  27,  28,  29,  30,  31, 32,
                     33, 34, 101, 201, 202, 301, 302, 303, 304, 305, 306, 401, 402, 501, 601, 701}) {
      s.insert(quorvia::errorResponseBody(code));
    }
    return s;
  }();
  return bodies;
}

bool isDataResponse(const std::string& body) {
  const std::string head = "{\"data\": \"", tail = "\"}";
  if (body.size() < head.size() + tail.size() || body.compare(0, head.size(), head) != 0 ||
      body.compare(body.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  const std::size_t n = body.size() - head.size() - tail.size();
  if (n == 0 || n % 4 != 0) return false;
  for (std::size_t i = head.size(); i < head.size() + n; ++i) {
    const char c = body[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvia::testing::MemoryReader in(std::string(reinterpret_cast<const char*>(data), size), 5);
  quorvia::testing::MemoryWriter out;
  quorvia::fake::FakeLocalSystem local;
  quorvia::fake::FakeWmiSystem wmi;
  auto cipher = quorvia::makeSystemCipherProvider();
  const quorvia::DeviceCollector collect = [&](quorvia::DeviceRecord& record) {
    quorvia::ProbeBuffer buffer;
    quorvia::collectDeviceInfo(local, wmi, record, buffer);
  };
  const int status = quorvia::runHost(true, in, out, collect, *cipher);

  const std::string& bytes = out.bytes;
  if (bytes.size() < quorvia::kFrameHeaderSize) std::abort();
  const std::uint32_t n = quorvia::decodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data()));
  if (bytes.size() != quorvia::kFrameHeaderSize + n || out.flushes != 1) std::abort();
  const std::string body = bytes.substr(quorvia::kFrameHeaderSize);
  if (status == 0 && !isDataResponse(body)) std::abort();
  if (status == 1 && errorBodies().count(body) == 0) std::abort();
  if (status != 0 && status != 1) std::abort();
  if (!wmi.everyObjectReleasedOnce() || local.keysOpened != local.keysClosed) std::abort();
  return 0;
}
