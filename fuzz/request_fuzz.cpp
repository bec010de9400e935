// Any bytes as the host's standard input. The reader either accepts a request
// that satisfies every rule or raises one of its four codes; the whole cycle,
// with probes that all succeed and the real cipher, writes exactly one
// complete frame: a data response with status 0 or an error response of the
// error table with status 1.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/probes.h"
#include "host/error_info.h"
#include "host/request_cycle.h"
#include "host/request_reader.h"
#include "host/response.h"
#include "unit/fake_system.h"
#include "unit/memory_streams.h"

namespace quorvia {
namespace {

// {"data": "<Base64>"}
bool isDataBody(const std::string& body) {
  const std::size_t n = body.size() - 12;
  const auto base64 = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=';
  };
  return body.size() >= 16 && body.rfind("{\"data\": \"", 0) == 0 && body.substr(body.size() - 2) == "\"}" &&
         n % 4 == 0 && std::all_of(body.begin() + 10, body.end() - 2, base64);
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace
}  // namespace quorvia

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvia;
  const std::string input(reinterpret_cast<const char*>(data), size);
  testing::MemoryReader reader(input, 7);  // in uneven pieces, as a pipe may deliver it
  HostRequest request;
  int code = 0;
  try {
    readRequest(reader, request);
    check(request.command == u"DeviceInfo" && !request.key.empty() && request.version != 0 && request.version <= 10000);
  } catch (const ErrorInfo& e) {
    code = e.code;
    check(code >= 1 && code <= 4);
  }

  fake::Log log;
  fake::FakeLocalSystem local(log);
  fake::FakeWmiSystem wmi(log);
  auto cipher = makeSystemCipherProvider();
  testing::MemoryReader in(input, 5);
  testing::MemoryWriter out;
  const int status = runHost(
      true, in, out,
      [&](DeviceRecord& record) {
        ProbeBuffer buffer;
        collectDeviceInfo(local, wmi, record, buffer);
      },
      *cipher);
  const std::string& bytes = out.bytes;
  check(bytes.size() >= kFrameHeaderSize);
  check(bytes.size() == kFrameHeaderSize + decodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data())));
  const std::string body = bytes.substr(kFrameHeaderSize);
  // The only codes a valid request can meet here come from the key.
  check(code != 0     ? status == 1 && body == errorResponseBody(code)
        : status == 0 ? isDataBody(body)
                      : status == 1 && body == errorResponseBody(errc::kCipherKey));
  check(wmi.everyObjectReleasedOnce() && local.keysOpen == 0);
  return 0;
}
