#include "process/host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace quorvia::testing {

namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string hostPath() { return envOr("QUORVIA_HOST", ""); }
std::string clientPath() { return envOr("QUORVIA_NM", ""); }
bool hostIsWindows() { return envOr("QUORVIA_PLATFORM", "linux") == "windows"; }
bool hostIsSanitized() { return envOr("QUORVIA_SANITIZED", "0") == "1"; }
bool hostIsEmulated() { return envOr("QUORVIA_RUNNER", "").find("qemu") != std::string::npos; }

HostRun runHost(const std::string& input, const RunOptions& options) {
  // The browser's side must not die when the host closes its end early.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);

  std::vector<std::string> args;
  if (const std::string runner = envOr("QUORVIA_RUNNER", ""); !runner.empty()) args.push_back(runner);
  if (options.program.empty()) {
    // Browsers pass the caller's origin; the host must not depend on it.
    args.insert(args.end(), {hostPath(), "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
  } else {
    args.push_back(options.program);
    args.insert(args.end(), options.args.begin(), options.args.end());
  }
  std::vector<std::string> env(options.env);
  for (char** e = environ; *e; ++e) env.emplace_back(*e);  // the first of a name wins
  std::vector<char*> argv = pointers(args), envp = pointers(env);
  // A browser starts the host with SIGPIPE at its default, not ignored as here.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipeSignal);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (options.closeStdoutFirst) close(std::exchange(out[0], -1));
  int inFd = in[1];
  if (input.empty()) close(std::exchange(inFd, -1));

  HostRun run;
  std::size_t written = 0;
  int status = 0;
  rusage usage{};
  // Under Wine the loader may hand our pipes on to helper processes that
  // outlive the host, so the end of the run is the host's exit, not EOF.
  for (int waited = 0; waited <= 120000;) {
    const bool exited = wait4(pid, &status, WNOHANG, &usage) == pid;
    pollfd fds[3];
    nfds_t n = 0;
    if (inFd >= 0 && !exited) fds[n++] = {inFd, POLLOUT, 0};
    for (int fd : {out[0], err[0]}) {
      if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
      if (fd >= 0 && exited) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    if (poll(fds, n, exited ? 0 : 50) == 0) waited += 50;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        const std::size_t step = std::min(options.writeStep ? options.writeStep : SIZE_MAX, input.size() - written);
        const ssize_t w = write(inFd, input.data() + written, step);
        written += w > 0 ? static_cast<std::size_t>(w) : 0;
        // The host may stop reading: what it did not take is lost to it.
        if (w <= 0 || written == input.size()) close(std::exchange(inFd, -1));
        continue;
      }
      int& fd = fds[i].fd == out[0] ? out[0] : err[0];
      std::string& sink = fd == out[0] ? run.out : run.err;
      char buffer[65536];
      ssize_t r;
      while ((r = read(fd, buffer, sizeof buffer)) > 0) {  // after the exit, until the pipe is empty
        sink.append(buffer, static_cast<std::size_t>(r));
        if (!exited) break;
      }
      if (r == 0 || exited) close(std::exchange(fd, -1));
    }
    if (exited) {
      for (int fd : {inFd, out[0], err[0]}) {
        if (fd >= 0) close(fd);
      }
      if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
      run.maxRssKiB = usage.ru_maxrss;
      return run;
    }
  }
  kill(pid, SIGKILL);
  throw std::runtime_error("the host did not finish within two minutes");
}

std::string commandOutput(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; p != nullptr && (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  if (p != nullptr) pclose(p);
  return out;
}

}  // namespace quorvia::testing
