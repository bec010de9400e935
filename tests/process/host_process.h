#pragma once

#include <string>
#include <vector>

namespace quorvia::testing {

// One run of the built host, started as a browser starts it: pipes on all
// three standard streams, the request written to stdin, stdin closed.
struct HostRun {
  int exitStatus = -1;  // -1 when it did not exit normally
  int signal = 0;       // the signal that ended it, if one did
  std::string out;
  std::string err;
  long maxRssKiB = 0;
};

struct RunOptions {
  std::size_t writeStep = 0;          // feed stdin this many bytes at a time (0: all at once)
  bool closeStdoutFirst = false;      // the reader goes away before the answer
  std::vector<std::string> env = {};  // extra NAME=VALUE entries, before the inherited ones
  // Another program than the host (through the same runner), with its arguments.
  std::string program = "";
  std::vector<std::string> args = {};
};

// The host under test: QUORVIA_HOST, run through QUORVIA_RUNNER when set.
std::string hostPath();
bool hostIsWindows();
// The diagnostic client built with the host: QUORVIA_NM.
std::string clientPath();
// Sanitizers multiply memory use; bounds on it only hold for a plain build.
bool hostIsSanitized();
// Run under qemu-user, whose own memory the host's peak would include.
bool hostIsEmulated();

HostRun runHost(const std::string& input, const RunOptions& options = {});

// Runs a command line through the shell and returns its standard output.
std::string commandOutput(const std::string& command);

}  // namespace quorvia::testing
