#include "process/host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace quorvia::testing {

namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + " failed: errno " + std::to_string(errno));
}

}  // namespace

std::string hostPath() { return envOr("QUORVIA_HOST", ""); }

std::string clientPath() { return envOr("QUORVIA_NM", ""); }

bool hostIsWindows() { return envOr("QUORVIA_PLATFORM", "linux") == "windows"; }

bool hostIsSanitized() { return envOr("QUORVIA_SANITIZED", "0") == "1"; }

HostRun runHost(const std::string& input, const RunOptions& options) {
  // The browser's side must not die when the host closes its end early.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  check(pipe(in) == 0 && pipe(out) == 0 && pipe(err) == 0, "pipe");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);

  std::vector<std::string> args;
  const std::string runner = envOr("QUORVIA_RUNNER", "");
  if (!runner.empty()) args.push_back(runner);
  if (options.program.empty()) {
    args.push_back(hostPath());
    // Browsers pass the caller's origin; the host must not depend on it.
    args.push_back("chrome-extension://abcdefghijklmnopabcdefghijklmnop/");
  } else {
    args.push_back(options.program);
    args.insert(args.end(), options.args.begin(), options.args.end());
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  for (const auto& e : options.env) envStrings.push_back(e);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  check(rc == 0, "posix_spawn");
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (options.closeStdoutFirst) {
    close(out[0]);
    out[0] = -1;
  }

  HostRun run;
  std::size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  char buffer[65536];
  int status = 0;
  rusage usage{};
  bool exited = false;
  // Under Wine the loader may hand our pipes on to helper processes that
  // outlive the host, so the end of the run is the host's exit, not EOF.
  for (int waited = 0; !exited;) {
    exited = wait4(pid, &status, WNOHANG, &usage) == pid;
    if (exited) {
      for (int fd : {out[0], err[0]}) {
        if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      }
    }
    pollfd fds[3];
    int n = 0;
    if (inFd >= 0 && !exited) fds[n++] = {inFd, POLLOUT, 0};
    if (out[0] >= 0) fds[n++] = {out[0], POLLIN, 0};
    if (err[0] >= 0) fds[n++] = {err[0], POLLIN, 0};
    if (n == 0) continue;
    const int ready = poll(fds, static_cast<nfds_t>(n), exited ? 0 : 50);
    if (ready == 0) {
      waited += 50;
      if (waited > 120000) {
        kill(pid, SIGKILL);
        throw std::runtime_error("the host did not finish within two minutes");
      }
      continue;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        std::size_t step = options.writeStep ? options.writeStep : input.size() - written;
        step = std::min(step, input.size() - written);
        const ssize_t w = write(inFd, input.data() + written, step);
        if (w <= 0) {  // the host stopped reading: what it did not take is lost to it
          close(inFd);
          inFd = -1;
          continue;
        }
        written += static_cast<std::size_t>(w);
        if (written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      std::string& sink = fds[i].fd == out[0] ? run.out : run.err;
      // After the exit, read until the pipe is empty (EAGAIN) or closed.
      for (;;) {
        const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
        if (r > 0) {
          sink.append(buffer, static_cast<std::size_t>(r));
          if (!exited) break;
          continue;
        }
        if (r == 0 || exited) {
          if (fds[i].fd == out[0])
            out[0] = -1;
          else
            err[0] = -1;
          close(fds[i].fd);
        }
        break;
      }
    }
    if (exited) break;
  }
  for (int fd : {inFd, out[0], err[0]}) {
    if (fd >= 0) close(fd);
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.maxRssKiB = usage.ru_maxrss;
  return run;
}

std::string commandOutput(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return {};
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

}  // namespace quorvia::testing
