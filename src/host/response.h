#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error_info.h"
#include "crypto/cipher_provider.h"
#include "device/device_record.h"
#include "host/byte_stream.h"

namespace quorvia {

// The message the extension shows for a code.
std::u16string errorMessageFor(std::int32_t code);

// {"errorCode": N,"errorMessage": "..."} as UTF-8.
std::string errorResponseBody(std::int32_t code);

// One frame: the body's length as 4 little-endian bytes, the body, a flush.
void writeFrame(ByteWriter& out, std::string_view body);

void writeErrorResponse(ByteWriter& out, const ErrorInfo& error);

// Formats, encrypts and frames the record's document. Every failure (codes
// 21 to 33) is raised before the first byte is written.
void writeDataResponse(ByteWriter& out, const DeviceRecord& record, CipherProvider& cipher);

}  // namespace quorvia
