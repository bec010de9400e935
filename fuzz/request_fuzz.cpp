// Any bytes as the host's standard input. The reader accepts only a request
// that satisfies every rule, else raises one of its four codes; the whole
// cycle, with probes that all succeed and the real cipher, writes exactly one
// frame: a data response with status 0 or an error response with status 1.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/error_info.h"
#include "crypto/base64.h"
#include "device/probes.h"
#include "host/request_cycle.h"
#include "host/request_reader.h"
#include "host/response.h"
#include "unit/fake_system.h"
#include "unit/memory_streams.h"

namespace {
void check(bool ok) {
  if (!ok) std::abort();  // libFuzzer keeps the input as a crash
}
}  // namespace

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
  check(bytes.size() >= kFrameHeaderSize &&
        bytes.size() == kFrameHeaderSize + decodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data())));
  const std::string body = bytes.substr(kFrameHeaderSize);
  // A data response is {"data": "<Base64 of whole cipher blocks>"}; the only
  // code a valid request can meet here comes from the key.
  if (status == 0) {
    check(code == 0 && body.size() >= 12 && body.rfind("{\"data\": \"", 0) == 0 &&
          body.substr(body.size() - 2) == "\"}");
    const auto blocks = decodeBase64(std::string_view(body).substr(10, body.size() - 12));
    check(blocks && !blocks->empty() && blocks->size() % 16 == 0);
  } else {
    check(status == 1 && body == errorResponseBody(code != 0 ? code : errc::kCipherKey));
  }
  check(wmi.everyObjectReleasedOnce() && local.keysOpen == 0);
  return 0;
}
