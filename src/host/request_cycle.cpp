#include "host/request_cycle.h"

#include "base/error_info.h"
#include "base/secret.h"
#include "base/text.h"
#include "host/request_reader.h"
#include "host/response.h"

namespace quorvia {

namespace {

// The key text and the device values (the plain text of the answer) have no
// business outliving the cycle in freed memory. Each string is wiped over its
// whole capacity, which may still hold an earlier, longer value.
void wipe(std::u16string& text) {
  text.resize(text.capacity());
  secureWipe(text.data(), text.size() * sizeof(char16_t));
}

struct WipeOnExit {
  HostRequest& request;
  DeviceRecord& record;
  ~WipeOnExit() {
    wipe(request.key);
    for (std::u16string* field :
         {&record.cipherKey, &record.hostName, &record.macAddress, &record.venderName, &record.deviceName,
          &record.cpuName, &record.osName, &record.osVersion, &record.authorizedOsUser, &record.deviceId}) {
      wipe(*field);
    }
  }
};

}  // namespace

int runRequestCycle(ByteReader& in, ByteWriter& out, const DeviceCollector& collect, CipherProvider& cipher) {
  // The request's strings and the key bytes are read in the user's encoding;
  // numbers keep the classic form.
  useUserLocale();
  HostRequest request;
  DeviceRecord record;
  const WipeOnExit wipeOnExit{request, record};
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
    writeErrorResponse(out, ErrorInfo{errc::kComInit});
    return 1;
  }
  return runRequestCycle(in, out, collect, cipher);
}

}  // namespace quorvia
