#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>

#include "child_process.h"

extern char** environ;

namespace quorvia::nm {

namespace {

// The host's process group while it runs: a signal that ends us ends it
// first, as closing a browser ends its hosts.
volatile sig_atomic_t childGroup = 0;

void endWithChild(int signal) {
  if (childGroup > 0) kill(-childGroup, SIGKILL);
  std::signal(signal, SIG_DFL);
  raise(signal);
}

bool exitedAlready(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

ChildResult runChild(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                     const ChildLimits& limits) {
  ChildResult result;
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  // The browsers start the host in its own folder (Chromium's
  // launch_context_posix.cc, Firefox's NativeMessaging.sys.mjs).
  // A relative path would then name another file: it is made absolute first,
  // as the path the browsers take from a manifest always is.
  std::error_code unknownFolder;  // ours gone: the path is left as it is
  const std::filesystem::path absolute = std::filesystem::absolute(program, unknownFolder);
  const std::string path = unknownFolder ? program : absolute.string();
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // A process group of its own, so whatever the host starts can be ended
  // with it when it is stopped.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<std::string> all{path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, endWithChild);
  const int rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    result.error = std::strerror(rc);
    return result;
  }
  result.started = true;
  childGroup = pid;

  // Write and read together: neither side may fill a pipe and stall.
  const auto deadline = std::chrono::steady_clock::now() + limits.timeLimit;
  std::size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  char buffer[65536];
  int outFd = out[0];
  std::optional<std::chrono::steady_clock::time_point> gone;  // when the host was seen to have exited
  while (outFd >= 0) {
    const auto now = std::chrono::steady_clock::now();
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (left.count() <= 0) {
      result.stopped = Stop::kTimeLimit;
      break;
    }
    if (gone && now - *gone >= limits.afterExit) {
      result.stopped = Stop::kHostGone;
      break;
    }
    left = std::min<std::chrono::milliseconds>(left, std::chrono::milliseconds(50));
    pollfd fds[2];
    nfds_t n = 0;
    fds[n++] = {outFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    const int ready = poll(fds, n, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && !gone && exitedAlready(pid)) gone = std::chrono::steady_clock::now();
    if (n == 2 && fds[1].revents != 0) {
      const ssize_t w = write(inFd, input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<std::size_t>(w);
      if (w <= 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
    if (fds[0].revents != 0) {
      const ssize_t r = read(outFd, buffer, sizeof buffer);
      if (r <= 0) {
        close(outFd);
        outFd = -1;
      } else {
        result.out.append(buffer, static_cast<std::size_t>(r));
        if (!limits.onOutput(result.out)) result.stopped = Stop::kCaller;
        if (result.stopped != Stop::kNone) break;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  if (outFd >= 0) close(outFd);
  if (result.stopped != Stop::kNone) {
    // Looked at, not collected, so the group cannot be reused before the kill.
    result.exitedBeforeStop = exitedAlready(pid);
    kill(-pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  childGroup = 0;
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

std::string hostBesideUs() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "quorvia-host";
  std::string p(path, static_cast<std::size_t>(n));
  const auto slash = p.rfind('/');
  return (slash == std::string::npos ? std::string(".") : p.substr(0, slash)) + "/quorvia-host";
}

void useBinaryStdio() {}

}  // namespace quorvia::nm
