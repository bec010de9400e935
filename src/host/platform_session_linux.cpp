#include <csignal>

#include "host/platform_session.h"

namespace quorvia {

// A browser that closes the pipe before reading the answer must not turn the
// host's exit into a SIGPIPE death; the write just fails unnoticed.
PlatformSession::PlatformSession() {
  std::signal(SIGPIPE, SIG_IGN);
  ready_ = true;
}

PlatformSession::~PlatformSession() = default;

}  // namespace quorvia
