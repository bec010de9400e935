#include <unistd.h>

#include <cerrno>
#include <string>

#include "host/byte_stream.h"

// The descriptors themselves, without stdio: its buffers cost a page of the
// heap each and a status call for each stream, at every start, and the one
// on standard input would keep a copy of the key that nothing wipes.

namespace quorvia {

namespace {

// The frame gathered for the single write that flush() makes: a reader that
// sees the length sees the body right behind it, and a failure before the
// flush (memory exhausted) leaves nothing half written.
std::string& pendingOutput() {
  static std::string pending;
  return pending;
}

}  // namespace

std::size_t StdinReader::read(void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

void StdoutWriter::write(const void* data, std::size_t size) {
  pendingOutput().append(static_cast<const char*>(data), size);
}

// Results of writes are not examined beyond finishing the frame: a reader
// that went away cannot be told anything, and the exit status is already
// decided.
void StdoutWriter::flush() {
  std::string& pending = pendingOutput();
  std::size_t done = 0;
  while (done < pending.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, pending.data() + done, pending.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  pending.clear();
}

}  // namespace quorvia
