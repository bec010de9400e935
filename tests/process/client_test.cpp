// quorvia-nm runs the built host the way a browser does, or decodes an answer;
// tells a working host from a failing one, and its report names the cause.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "host/frame.h"
#include "process/host_process.h"

namespace quorvia::testing {
namespace {

TEST(Client, ExitStatusAndReportNameTheCause) {
  if (clientPath().empty()) GTEST_SKIP() << "QUORVIA_NM is not set";
  const std::string key = "0123456789abcdef0123456789abcdef", h = hostPath();
  const HostRun host = runHost(encodeFrame("{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + key + "\"}"));
  ASSERT_EQ(host.exitStatus, 0);
  // A folder name the ANSI code page cannot spell: the Windows client starts
  // the host through the wide calls. (Wine starts no program by a path
  // longer than MAX_PATH, in any form, so that is not shown.)
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quorvia-nm-ホスト-Ωμέγα-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::copy_file(h, dir / fs::path(h).filename(), fs::copy_options::overwrite_existing);
  const std::string odd = (hostIsWindows() ? "Z:" : "") + (dir / fs::path(h).filename()).string();
  const char* bad = std::getenv("QUORVIA_MISBEHAVING_HOST");
  const std::vector<std::string> misbehaving = {"call", "--key", key, "--timeout", "2", "--host", bad ? bad : ""};
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> says;
    std::string misbehave = "";  // QUORVIA_MISBEHAVE for the misbehaving host
  } cases[] = {
      {{"call", "--key", key, "--host", h}, "", 0, {"exit status:  0", "\"authorizedOsUser\": "}},
      {{"call", "--key", key, "--host", odd}, "", 0, {"\"deviceId\": "}},
      {{"call", "--host", h, "--key", "short"}, "", 1, {"error code:   27\n"}},
      {{"call", "--key", key, "--command", "Other", "--host", h}, "", 1, {"error code:   3\n"}},
      {{"call", "--key", key, "--version", "10001", "--host", h}, "", 1, {"error code:   4\n"}},
      {{"call", "--key", key, "--host", "/nonexistent/quorvia-host"}, "", 2, {"start:        failed"}},
      {misbehaving, "", 1, {"length:       10 bytes announced\n", "2 s passed; the host was stopped", "cut short"},
       "stall"},
      {misbehaving, "", 1, {"2 s passed; the host has exited, but another process still holds its output open"},
       "orphan"},
      {misbehaving, "", 1, {"length:       0 bytes announced\n", "more than a browser reads", "follow the frame"},
       "flood"},
      {misbehaving, "", 1, {"2147483647 bytes announced", "more than the 1048576 bytes a browser accepts"}, "huge"},
      {{"decode", "--key", key}, host.out, 0, {"\"deviceId\": "}},
      {{"decode", "--key", key}, host.out.substr(4), 0, {"\"deviceId\": "}},  // the body alone
      {{"decode", "--key", "fedcba9876543210fedcba9876543210"}, host.out, 1, {"cannot be decrypted"}},
      {{"decode", "--key", key}, host.out.substr(0, host.out.size() - 3), 1, {"cut short"}},
      {{"decode", "--key", key}, host.out + "\n", 1, {"follow the frame"}},
      {{"decode", "--key", key}, std::string(3 << 20, '\0'), 1, {"more than a browser reads from a host"}},
      {{}, "", 2, {}},
      {{"call", "--key"}, "", 2, {}},
      {{"frobnicate", "--key", "k"}, "", 2, {}},
      // Only a number, never members spliced into the request.
      {{"call", "--host", h, "--key", key, "--version", "1,\"command\":\"x\""}, "", 2, {}},
      {{"call", "--host", h, "--key", key, "--version", "01"}, "", 2, {}},
      {{"call", "--host", h, "--key", key, "--timeout", "0"}, "", 2, {}},
      {{"call", "--host", h, "--key", key, "--timeout", "ten"}, "", 2, {}},
  };
  for (const auto& c : cases) {
    if (!c.misbehave.empty() && !bad) continue;
    RunOptions options;
    options.program = clientPath();
    options.args = c.args;
    if (!c.misbehave.empty()) options.env = {"QUORVIA_MISBEHAVE=" + c.misbehave};
    const auto start = std::chrono::steady_clock::now();
    const HostRun run = runHost(c.input, options);
    const std::string what = ::testing::PrintToString(c.args) + " " + c.misbehave + ":\n" + run.out;
    EXPECT_EQ(run.exitStatus, c.status) << what;
    for (const std::string& text : c.says) EXPECT_NE(run.out.find(text), std::string::npos) << text << " in " << what;
    // Within its time limit and in bounded memory, whatever the host does.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << what;
    EXPECT_LT(run.maxRssKiB, 256 * 1024) << what;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvia::testing
