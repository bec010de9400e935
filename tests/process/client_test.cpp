// quorvia-nm, the diagnostic client, against the built host: its exit status
// tells a working host from a failing one, and its report names the cause.
#include <gtest/gtest.h>

#include "host/frame.h"
#include "process/host_process.h"

namespace quorvia::testing {
namespace {

TEST(Client, ExitStatusAndReportNameTheCause) {
  if (clientPath().empty()) GTEST_SKIP() << "QUORVIA_NM is not set";
  const std::string key = "0123456789abcdef0123456789abcdef";
  const HostRun host = runHost(encodeFrame("{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + key + "\"}"));
  ASSERT_EQ(host.exitStatus, 0);
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string says;
  } cases[] = {
      {{"call", "--key", key, "--host", hostPath()}, "", 0, "\"authorizedOsUser\": "},
      {{"call", "--host", hostPath(), "--key", "short"}, "", 1, "error code:   27\n"},
      {{"call", "--key", key, "--command", "Other", "--host", hostPath()}, "", 1, "error code:   3\n"},
      {{"call", "--key", key, "--version", "10001", "--host", hostPath()}, "", 1, "error code:   4\n"},
      {{"call", "--key", key, "--host", "/nonexistent/quorvia-host"}, "", 2, "start:        failed"},
      {{"decode", "--key", key}, host.out, 0, "\"deviceId\": "},
      {{"decode", "--key", key}, host.out.substr(4), 0, "\"deviceId\": "},  // the body alone
      {{"decode", "--key", "fedcba9876543210fedcba9876543210"}, host.out, 1, "cannot be decrypted"},
      {{"decode", "--key", key}, host.out.substr(0, host.out.size() - 3), 1, "cut short"},
      {{"decode", "--key", key}, host.out + "\n", 1, "follow the frame"},
      {{}, "", 2, ""},
      {{"call", "--key"}, "", 2, ""},
      {{"frobnicate", "--key", "k"}, "", 2, ""},
  };
  for (const auto& c : cases) {
    RunOptions options;
    options.program = clientPath();
    options.args = c.args;
    const HostRun run = runHost(c.input, options);
    EXPECT_EQ(run.exitStatus, c.status) << c.says << "\n" << run.out;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace quorvia::testing
