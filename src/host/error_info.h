#pragma once

#include <cstdint>

namespace quorvia {

// The one failure type of the host: a numbered error, raised where the
// failure is found and caught only by the request cycle, which looks up the
// message when it writes the error response.
struct ErrorInfo {
  std::int32_t code;
};

}  // namespace quorvia
