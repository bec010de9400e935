// Whole-process latency: starts each program many times, alternating, with
// the same frame on stdin and stdout into a pipe that is read to its end, as
// a browser would. Prints the median wall time of each and the ratios to the
// first program, the median processor time (user and system) the program
// itself used, and the page faults each took (the cost that differs most
// between machines). Medians of alternating runs keep the comparison fair on
// a noisy machine; the absolute figures are only for orientation. On a
// machine busy with other work the wall time mostly measures waiting for a
// processor, which the processor time leaves out.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// One run; returns seconds, or a negative value if the program failed.
double runOnce(const std::vector<std::string>& command, int input, long& faults, double& cpu) {
  int out[2];
  if (pipe(out) != 0) return -1;
  lseek(input, 0, SEEK_SET);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> argv;
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const double start = now();
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return -1;
  }
  char buffer[4096];
  while (read(out[0], buffer, sizeof buffer) > 0) {
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  faults = usage.ru_minflt;
  cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const double elapsed = now() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1 ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: spawn_bench RUNS FRAME-FILE PROGRAM [PROGRAM...]\n"
                 "  a PROGRAM with spaces is split into its words (e.g. a runner and a program)\n");
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  const int input = open(argv[2], O_RDONLY);
  if (input < 0 || runs <= 0) {
    std::perror("spawn_bench");
    return 2;
  }
  std::vector<std::vector<std::string>> programs;
  for (int i = 3; i < argc; ++i) {
    std::vector<std::string> words;
    std::string w;
    for (const char* p = argv[i];; ++p) {
      if (*p == ' ' || *p == 0) {
        if (!w.empty()) words.push_back(w);
        w.clear();
        if (*p == 0) break;
      } else {
        w += *p;
      }
    }
    programs.push_back(words);
  }
  std::vector<std::vector<double>> times(programs.size()), cpuTimes(programs.size());
  std::vector<long> faults(programs.size());
  double cpu = 0;
  for (std::size_t i = 0; i < programs.size(); ++i) runOnce(programs[i], input, faults[i], cpu);  // warm the page cache
  for (int r = 0; r < runs; ++r) {
    for (std::size_t i = 0; i < programs.size(); ++i) {
      const double t = runOnce(programs[i], input, faults[i], cpu);
      if (t < 0) {
        std::fprintf(stderr, "spawn_bench: %s failed\n", argv[3 + i]);
        return 1;
      }
      times[i].push_back(t);
      cpuTimes[i].push_back(cpu);
    }
  }
  const auto median = [](std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  std::vector<double> medians, cpuMedians;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    medians.push_back(median(times[i]));
    cpuMedians.push_back(median(cpuTimes[i]));
  }
  for (std::size_t i = 0; i < programs.size(); ++i) {
    std::printf("%-40s median %8.1f us  ratio %5.2f  processor %7.1f us  ratio %5.2f  %ld page faults\n", argv[3 + i],
                medians[i] * 1e6, medians[i] / medians[0], cpuMedians[i] * 1e6, cpuMedians[i] / cpuMedians[0],
                faults[i]);
  }
  return 0;
}
