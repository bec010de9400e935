#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quorvia::nm {

// Why the output was not read to its end.
// kHostGone: the host exited, yet something it left behind keeps its output
// open; a browser would wait for it, we stop after a moment.
enum class Stop { kNone, kTimeLimit, kCaller, kHostGone };

struct ChildResult {
  bool started = false;
  std::string error;    // why it could not be started
  int exitStatus = -1;  // -1 when it did not exit by itself
  std::string out;      // what it wrote to standard output, up to the stop
  Stop stopped = Stop::kNone;
  bool exitedBeforeStop = false;  // stopped, yet the host itself had exited: something else holds its output
};

struct ChildLimits {
  std::chrono::milliseconds timeLimit{10000};
  // Called with everything read so far after each read; false stops reading.
  std::function<bool(const std::string&)> onOutput = [](const std::string&) { return true; };
  // How long output may stay open once the host has exited.
  std::chrono::milliseconds afterExit{500};
};

// Starts `program` with `args` the way a browser starts a native messaging
// host: in the program's own folder, standard input and output on pipes,
// standard error shared with us, no other handle (on Windows exactly these
// three are inherited) and no window; ended with us, whatever happens to us
// (on Windows a job that is killed when its last handle closes, on Linux the
// signals that end us end its process group first).
// Writes `input`, closes the pipe and reads the output to its end, unless the
// time limit passes or onOutput says stop: then the host is ended (on Linux
// with whatever it started) and its partial output returned.
// `program` and `args` are UTF-8 on Windows.
ChildResult runChild(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                     const ChildLimits& limits);

// The host installed in the same folder as this program.
std::string hostBesideUs();

// Standard input and output as raw bytes (a captured frame may hold any byte).
void useBinaryStdio();

#ifdef _WIN32
// UTF-8 to the wide text the system calls take, and back.
std::wstring widen(const std::string& s);
std::string narrow(const std::wstring& w);

// The arguments as UTF-8, whatever the ANSI code page can spell.
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv);
#endif

}  // namespace quorvia::nm
