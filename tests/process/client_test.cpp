// quorvia-nm, the diagnostic client, against the built host: its exit status
// tells a working host from a failing one, and its report names the cause.
#include <gtest/gtest.h>

#include "process/host_process.h"

namespace quorvia::testing {
namespace {

HostRun client(const std::vector<std::string>& args, const std::string& input = "") {
  RunOptions o;
  o.program = clientPath();
  o.args = args;
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
}

TEST_F(Client, WrongUsageIsExitStatusTwo) {
  EXPECT_EQ(client({}).exitStatus, 2);
  EXPECT_EQ(client({"call"}).exitStatus, 2);
  EXPECT_EQ(client({"call", "--key"}).exitStatus, 2);
  EXPECT_EQ(client({"frobnicate", "--key", "k"}).exitStatus, 2);
}

}  // namespace
}  // namespace quorvia::testing
