#pragma once

#include <functional>
#include <string_view>

#include "crypto/cipher_provider.h"
#include "device/device_record.h"
#include "host/byte_stream.h"

namespace quorvia {

// The initialisation vector the extension knows in advance; it never travels.
constexpr std::u16string_view builtInIv = u"Hq4ZrW8nLc2VtK6p";

// Fills the record's device values, raising ErrorInfo at the first failure.
using DeviceCollector = std::function<void(DeviceRecord&)>;

// One request in, one frame out: 0 after a data response, 1 after an error
// response. Only ErrorInfo is turned into a response; anything else (memory
// exhaustion and the like) leaves with nothing written.
int runRequestCycle(ByteReader& in, ByteWriter& out, const DeviceCollector& collect, CipherProvider& cipher);

// The whole life of the host after its platform set-up: when that set-up
// failed (`platformReady` false) the answer is code 11 and the request is not
// read; otherwise one request cycle.
int runHost(bool platformReady, ByteReader& in, ByteWriter& out, const DeviceCollector& collect,
            CipherProvider& cipher);

}  // namespace quorvia
