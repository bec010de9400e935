#pragma once

#include <optional>
#include <string>

namespace quorvia {

// The processor's name from an open /proc/cpuinfo, read from its start: the
// text after ": " of the first "model name" line, or, on architectures
// without one, of the first "Hardware", "cpu model" or "Processor" line.
// Reading stops at the first "model name". Nullopt when there is no such line.
std::optional<std::string> readProcessorName(int fd);

}  // namespace quorvia
