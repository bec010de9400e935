#include "host/request_cycle.h"

#include <clocale>

#include "host/error_info.h"
#include "host/request_reader.h"
#include "host/response.h"
#include "host/secret.h"

namespace quorvia {

namespace {

// The key text has no business outliving the cycle in freed memory.
struct WipeOnExit {
  std::u16string& a;
  std::u16string& b;
  ~WipeOnExit() {
    secureWipe(a.data(), a.size() * sizeof(char16_t));
    secureWipe(b.data(), b.size() * sizeof(char16_t));
  }
};

}  // namespace

int runRequestCycle(ByteReader& in, ByteWriter& out, const DeviceCollector& collect, CipherProvider& cipher) {
  // The request's strings and the key bytes are read in the user's encoding;
  // numbers keep the classic form.
  std::setlocale(LC_CTYPE, "");
  HostRequest request;
  DeviceRecord record;
  WipeOnExit wipe{request.key, record.cipherKey};
  try {
    readRequest(in, request);
    record.cipherKey = request.key;
    record.cipherIv = builtInIv;
    if (collect) collect(record);
    writeDataResponse(out, record, cipher);
    return 0;
  } catch (const ErrorInfo& error) {
    writeErrorResponse(out, error);
    return 1;
  }
}

int runHost(bool platformReady, ByteReader& in, ByteWriter& out, const DeviceCollector& collect,
            CipherProvider& cipher) {
  if (!platformReady) {
    writeErrorResponse(out, ErrorInfo{11});
    return 1;
  }
  return runRequestCycle(in, out, collect, cipher);
}

}  // namespace quorvia
