#include "host/byte_stream.h"

#include <cstdio>

namespace quorvia {

std::size_t StdinReader::read(void* buffer, std::size_t size) { return std::fread(buffer, 1, size, stdin); }

// Results of writes are not examined: a reader that went away cannot be told
// anything, and the exit status is already decided.
void StdoutWriter::write(const void* data, std::size_t size) { std::fwrite(data, 1, size, stdout); }

void StdoutWriter::flush() { std::fflush(stdout); }

}  // namespace quorvia
