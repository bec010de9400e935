// quorvia-nm, the diagnostic client, against the built host: its exit status
// tells a working host from a failing one, and its report names the cause.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "process/host_process.h"

namespace quorvia::testing {
namespace {

HostRun client(const std::vector<std::string>& args, const std::string& input = "", std::vector<std::string> env = {}) {
  RunOptions o;
  o.program = clientPath();
  o.args = args;
  o.env = std::move(env);
  return runHost(input, o);
}

bool says(const HostRun& run, const std::string& text) { return run.out.find(text) != std::string::npos; }

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    if (clientPath().empty()) GTEST_SKIP() << "QUORVIA_NM is not set";
  }
};

TEST_F(Client, CallShowsTheDecryptedDocument) {
  const HostRun run = client({"call", "--key", "0123456789abcdef", "--host", hostPath()});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_TRUE(says(run, "exit status:  0"));
  EXPECT_TRUE(says(run, "\"authorizedOsUser\": ")) << run.out;
  EXPECT_TRUE(says(run, "\"deviceId\": ")) << run.out;
}

TEST_F(Client, CallReportsErrorResponsesWithTheirCode) {
  struct Case {
    std::vector<std::string> extra;
    std::string code;
  };
  for (const Case& c : std::vector<Case>{{{"--key", "short"}, "27"},
                                         {{"--key", "0123456789abcdef", "--command", "Other"}, "3"},
                                         {{"--key", "0123456789abcdef", "--version", "10001"}, "4"}}) {
    std::vector<std::string> args = {"call", "--host", hostPath()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const HostRun run = client(args);
    EXPECT_EQ(run.exitStatus, 1) << run.out;
    EXPECT_TRUE(says(run, "error code:   " + c.code + "\n")) << run.out;
  }
}

TEST_F(Client, CallSaysWhenTheHostCannotBeStarted) {
  const HostRun run = client({"call", "--key", "0123456789abcdef", "--host", "/nonexistent/quorvia-host"});
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_TRUE(says(run, "start:        failed")) << run.out;
}

TEST_F(Client, DecodeReadsACapturedAnswer) {
  const std::string key = "0123456789abcdef0123456789abcdef";
  std::string body = "{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + key + "\"}";
  const auto n = static_cast<char>(body.size());
  const HostRun host = runHost(std::string{n, 0, 0, 0} + body);
  ASSERT_EQ(host.exitStatus, 0);

  EXPECT_EQ(client({"decode", "--key", key}, host.out).exitStatus, 0);
  EXPECT_EQ(client({"decode", "--key", key}, host.out.substr(4)).exitStatus, 0);  // the body alone
  const HostRun wrongKey = client({"decode", "--key", "fedcba9876543210fedcba9876543210"}, host.out);
  EXPECT_EQ(wrongKey.exitStatus, 1);
  EXPECT_TRUE(says(wrongKey, "cannot be decrypted")) << wrongKey.out;
  const HostRun cut = client({"decode", "--key", key}, host.out.substr(0, host.out.size() - 3));
  EXPECT_EQ(cut.exitStatus, 1);
  EXPECT_TRUE(says(cut, "cut short")) << cut.out;
  const HostRun extra = client({"decode", "--key", key}, host.out + "\n");
  EXPECT_EQ(extra.exitStatus, 1);
  EXPECT_TRUE(says(extra, "follow the frame")) << extra.out;
  const HostRun flood = client({"decode", "--key", key}, std::string(3 << 20, '\0'));
  EXPECT_EQ(flood.exitStatus, 1);
  EXPECT_TRUE(says(flood, "more than a browser reads from a host")) << flood.out;
}

TEST_F(Client, WrongUsageIsExitStatusTwo) {
  const std::string h = hostPath(), k = "0123456789abcdef";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"call"},
                                             {"call", "--key"},
                                             {"frobnicate", "--key", "k"},
                                             // Only a number, never members spliced into the request.
                                             {"call", "--host", h, "--key", k, "--version", "1,\"command\":\"x\""},
                                             {"call", "--host", h, "--key", k, "--version", "01"},
                                             {"call", "--host", h, "--key", k, "--timeout", "0"},
                                             {"call", "--host", h, "--key", k, "--timeout", "ten"}}) {
    EXPECT_EQ(client(args).exitStatus, 2) << ::testing::PrintToString(args);
  }
}

// A host that stalls, floods or leaves its output to a child: the client
// says what it got and stops within its time limit, in bounded memory.
TEST_F(Client, StopsAtItsTimeLimitOrTheBrowsersSizeLimit) {
  const char* host = std::getenv("QUORVIA_MISBEHAVING_HOST");
  if (host == nullptr) GTEST_SKIP() << "QUORVIA_MISBEHAVING_HOST is not set";
  const struct {
    const char* mode;
    std::vector<const char*> said;
  } cases[] = {
      {"stall", {"length:       10 bytes announced\n", "time limit:   2 s passed; the host was stopped", "cut short"}},
      {"orphan", {"time limit:   2 s passed; the host has exited, but another process still holds its output open"}},
      {"flood", {"length:       0 bytes announced\n", "more than a browser reads", "bytes follow the frame"}},
      {"huge", {"2147483647 bytes announced", "more than the 1048576 bytes a browser accepts"}},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const HostRun run = client({"call", "--key", "0123456789abcdef", "--timeout", "2", "--host", host}, "",
                               {std::string("QUORVIA_MISBEHAVE=") + c.mode});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.mode;
    EXPECT_EQ(run.exitStatus, 1) << c.mode;
    for (const char* text : c.said) EXPECT_TRUE(says(run, text)) << c.mode << ": " << run.out;
    EXPECT_LT(run.maxRssKiB, 256 * 1024) << c.mode;
  }
}

// Any folder name: the Windows client starts the host through the wide calls
// (the ANSI code page spells neither ホスト nor Ωμέγα). Wine starts no
// program by a path longer than MAX_PATH, in any form, so that is not shown.
TEST_F(Client, StartsAHostWhosePathTheCodePageCannotSpell) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quorvia-nm-ホスト-Ωμέγα-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path copy = dir / fs::path(hostPath()).filename();
  fs::copy_file(hostPath(), copy);
  const std::string host = hostIsWindows() ? "Z:" + copy.string() : copy.string();
  const HostRun run = client({"call", "--key", "0123456789abcdef", "--host", host});
  fs::remove_all(dir);
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_TRUE(says(run, "\"deviceId\": ")) << run.out;
}

}  // namespace
}  // namespace quorvia::testing
