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

struct Case {
  std::vector<std::string> args;
  int exitStatus;
  std::vector<std::string> said;
  std::string input = "";
  std::string misbehave = "";  // QUORVIA_MISBEHAVE for the misbehaving host
};

void expectEach(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    RunOptions o;
    o.program = clientPath();
    o.args = c.args;
    if (!c.misbehave.empty()) o.env = {"QUORVIA_MISBEHAVE=" + c.misbehave};
    const auto start = std::chrono::steady_clock::now();
    const HostRun run = runHost(c.input, o);
    const std::string what = ::testing::PrintToString(c.args) + " " + c.misbehave + ":\n" + run.out;
    EXPECT_EQ(run.exitStatus, c.exitStatus) << what;
    for (const std::string& text : c.said) EXPECT_NE(run.out.find(text), std::string::npos) << text << " in " << what;
    // Within its time limit and in bounded memory, whatever the host does.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << what;
    EXPECT_LT(run.maxRssKiB, 256 * 1024) << what;
  }
}

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    if (clientPath().empty()) GTEST_SKIP() << "QUORVIA_NM is not set";
  }
};

TEST_F(Client, CallShowsTheDocumentTheErrorOrWhatWentWrong) {
  // A folder name the ANSI code page cannot spell: the Windows client starts
  // the host through the wide calls. (Wine starts no program by a path
  // longer than MAX_PATH, in any form, so that is not shown.)
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quorvia-nm-ホスト-Ωμέγα-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path copy = dir / fs::path(hostPath()).filename();
  fs::copy_file(hostPath(), copy);
  const std::string h = hostPath(), k = "0123456789abcdef", odd = (hostIsWindows() ? "Z:" : "") + copy.string();
  const char* bad = std::getenv("QUORVIA_MISBEHAVING_HOST");
  const std::string b = bad ? bad : "";
  std::vector<Case> cases = {
      {{"call", "--key", k, "--host", h}, 0, {"exit status:  0", "\"authorizedOsUser\": ", "\"deviceId\": "}},
      {{"call", "--key", k, "--host", odd}, 0, {"\"deviceId\": "}},
      {{"call", "--key", "short", "--host", h}, 1, {"error code:   27\n"}},
      {{"call", "--key", k, "--command", "Other", "--host", h}, 1, {"error code:   3\n"}},
      {{"call", "--key", k, "--version", "10001", "--host", h}, 1, {"error code:   4\n"}},
      {{"call", "--key", k, "--host", "/nonexistent/quorvia-host"}, 2, {"start:        failed"}},
  };
  if (bad) {
    const std::vector<std::string> call = {"call", "--key", k, "--timeout", "2", "--host", b};
    cases.push_back({call,
                     1,
                     {"length:       10 bytes announced\n", "2 s passed; the host was stopped", "cut short"},
                     "",
                     "stall"});
    cases.push_back(
        {call, 1, {"2 s passed; the host has exited, but another process still holds its output open"}, "", "orphan"});
    cases.push_back(
        {call, 1, {"length:       0 bytes announced\n", "more than a browser reads", "follow the frame"}, "", "flood"});
    cases.push_back(
        {call, 1, {"2147483647 bytes announced", "more than the 1048576 bytes a browser accepts"}, "", "huge"});
  }
  expectEach(cases);
  fs::remove_all(dir);
}

TEST_F(Client, DecodeReadsACapturedAnswer) {
  const std::string key = "0123456789abcdef0123456789abcdef", other = "fedcba9876543210fedcba9876543210";
  std::string body = "{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + key + "\"}";
  const HostRun host = runHost(std::string{static_cast<char>(body.size()), 0, 0, 0} + body);
  ASSERT_EQ(host.exitStatus, 0);
  const std::vector<std::string> decode = {"decode", "--key", key};
  expectEach({
      {decode, 0, {"document:"}, host.out},
      {decode, 0, {"document:"}, host.out.substr(4)},  // the body alone
      {{"decode", "--key", other}, 1, {"cannot be decrypted"}, host.out},
      {decode, 1, {"cut short"}, host.out.substr(0, host.out.size() - 3)},
      {decode, 1, {"follow the frame"}, host.out + "\n"},
      {decode, 1, {"more than a browser reads from a host"}, std::string(3 << 20, '\0')},
  });
}

TEST_F(Client, WrongUsageIsExitStatusTwo) {
  const std::string h = hostPath(), k = "0123456789abcdef";
  expectEach({{{}, 2, {}},
              {{"call"}, 2, {}},
              {{"call", "--key"}, 2, {}},
              {{"frobnicate", "--key", "k"}, 2, {}},
              // Only a number, never members spliced into the request.
              {{"call", "--host", h, "--key", k, "--version", "1,\"command\":\"x\""}, 2, {}},
              {{"call", "--host", h, "--key", k, "--version", "01"}, 2, {}},
              {{"call", "--host", h, "--key", k, "--timeout", "0"}, 2, {}},
              {{"call", "--host", h, "--key", k, "--timeout", "ten"}, 2, {}}});
}

}  // namespace
}  // namespace quorvia::testing
