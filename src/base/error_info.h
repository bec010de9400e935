#pragma once

#include <cstdint>

namespace quorvia {

// The one failure type of the host: a numbered error, raised where the
// failure is found and caught only by the request cycle, which looks up the
// message when it writes the error response.
struct ErrorInfo {
  std::int32_t code;
};

// Every code the host raises, grouped by the step that raises it: the request,
// COM, the cipher, then one hundred per probe in the order the probes run.
// The extension knows them by number, so the numbers never change; their
// messages are in response.cpp, their English explanations in error_info.cpp.
namespace errc {
constexpr std::int32_t kUnreadableJson = 1;
constexpr std::int32_t kInvalidRequest = 2;
constexpr std::int32_t kUnknownCommand = 3;
constexpr std::int32_t kVersionTooNew = 4;
constexpr std::int32_t kComInit = 11;
constexpr std::int32_t kCipherOpen = 21;
constexpr std::int32_t kCipherObjectLength = 22;
constexpr std::int32_t kCipherBlockLength = 24;
constexpr std::int32_t kCipherChainingMode = 26;
constexpr std::int32_t kCipherKey = 27;  // also: the key has no 16, 24 or 32 bytes
constexpr std::int32_t kCipherSize = 31;
constexpr std::int32_t kCipherEncrypt = 33;
constexpr std::int32_t kHostName = 101;
constexpr std::int32_t kAdapters = 201;
constexpr std::int32_t kWmiSecurity = 301;
constexpr std::int32_t kWmiLocator = 302;
constexpr std::int32_t kWmiConnect = 303;
constexpr std::int32_t kWmiProxyBlanket = 304;
constexpr std::int32_t kWmiQuery = 305;      // the first query
constexpr std::int32_t kWmiLaterQuery = 306;  // the second or third query
constexpr std::int32_t kProcessorKey = 401;
constexpr std::int32_t kProcessorValue = 402;
constexpr std::int32_t kMemory = 501;
constexpr std::int32_t kStorage = 601;
constexpr std::int32_t kUserName = 701;
}  // namespace errc

// What a code means, in English (quorvia-nm shows it beside the host's own
// Japanese message); every code response.cpp has a message for.
const char* errorExplanation(std::int32_t code);

}  // namespace quorvia
