#pragma once

#include <cstdint>
#include <string>

#include "host/byte_stream.h"

namespace quorvia {

// The validated request. `version` 0 stands for an absent version.
struct HostRequest {
  std::u16string command;
  std::int32_t version = 0;
  std::u16string key;
};

// How deep arrays and objects together may nest in a request body.
constexpr std::size_t kMaxJsonDepth = 100;

// Reads one frame (4-byte little-endian length, then the JSON body) and fills
// and validates the request. Raises ErrorInfo 1 (not JSON), 2 (a member
// missing, of the wrong type, empty or 0), 3 (unknown command) or 4 (version
// above 10000).
void readRequest(ByteReader& in, HostRequest& request);

}  // namespace quorvia
