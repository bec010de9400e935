#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "child_process.h"

extern char** environ;

namespace quorvia::nm {

ChildResult runChild(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
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
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    result.error = std::strerror(rc);
    return result;
  }
  result.started = true;

  // Write and read together: neither side may fill a pipe and stall.
  std::size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  char buffer[65536];
  for (int outFd = out[0]; outFd >= 0;) {
    pollfd fds[2];
    nfds_t n = 0;
    fds[n++] = {outFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (poll(fds, n, -1) < 0 && errno != EINTR) break;
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
      }
    }
  }
  if (inFd >= 0) close(inFd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
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

}  // namespace quorvia::nm

namespace quorvia::nm {

void useBinaryStdio() {}

}  // namespace quorvia::nm
