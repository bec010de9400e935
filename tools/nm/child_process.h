#pragma once

#include <string>
#include <vector>

namespace quorvia::nm {

struct ChildResult {
  bool started = false;
  std::string error;    // why it could not be started
  int exitStatus = -1;  // -1 when it did not exit normally
  std::string out;      // everything it wrote to standard output
};

// Starts `program` with `args` the way a browser starts a native messaging
// host: standard input and output on pipes, standard error shared with us.
// Writes `input`, closes the pipe, reads the output to its end and waits.
ChildResult runChild(const std::string& program, const std::vector<std::string>& args, const std::string& input);

// The host installed in the same folder as this program.
std::string hostBesideUs();

}  // namespace quorvia::nm

namespace quorvia::nm {

// Standard input and output as raw bytes (a captured frame may hold any byte).
void useBinaryStdio();

}  // namespace quorvia::nm
