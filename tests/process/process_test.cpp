// The built host, run as a browser runs it. ctest runs this once for the
// Linux host and once for the Windows host under Wine.
#include <gtest/gtest.h>
#include <picojson.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "corpus/corpus.h"
#include "host/frame.h"
#include "process/host_process.h"

namespace quorvia::testing {
namespace {

const std::string k16 = "0123456789abcdef", k32 = k16 + k16;

std::string request(const std::string& key, const std::string& command = "DeviceInfo", int version = 1) {
  return "{\"command\":\"" + command + "\",\"version\":" + std::to_string(version) + ",\"key\":\"" + key + "\"}";
}
std::string frame(const std::string& body) { return encodeFrame(body); }

std::string hexOf(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

// The one frame's body; fails the test unless exactly one frame came.
std::string onlyFrameBody(const std::string& out) {
  if (out.size() < kFrameHeaderSize) {
    ADD_FAILURE() << "no frame header, " << out.size() << " bytes";
    return {};
  }
  const std::uint32_t n = decodeFrameLength(reinterpret_cast<const unsigned char*>(out.data()));
  EXPECT_EQ(out.size(), kFrameHeaderSize + n) << "bytes beyond the one frame, or a frame cut short";
  return out.substr(kFrameHeaderSize, n);
}

// Decrypts a data response with the openssl command line, an implementation
// independent of the host's, and checks the document's fixed layout.
picojson::object documentOf(const std::string& out, const std::string& key) {
  const std::string body = onlyFrameBody(out), head = "{\"data\": \"";
  if (body.rfind(head, 0) != 0 || body.size() < 12 || body.substr(body.size() - 2) != "\"}") {
    ADD_FAILURE() << "not a data response: " << body;
    return {};
  }
  char path[] = "/tmp/quorvia-b64-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_EQ(write(fd, body.data() + head.size(), body.size() - 12), static_cast<ssize_t>(body.size() - 12));
  close(fd);
  const std::string document =
      commandOutput("openssl enc -d -aes-" + std::to_string(key.size() * 8) + "-cbc -K " + hexOf(key) + " -iv " +
                    hexOf("Hq4ZrW8nLc2VtK6p") + " -base64 -A -in " + path);
  std::remove(path);
  std::size_t at = 2;
  EXPECT_EQ(document.substr(0, at), "{\n");
  for (const char* member : {"hostName", "macAddress", "venderName", "deviceName", "cpuName", "mainMemory",
                             "storageSize", "osName", "osVersion", "authorizedOsUser", "deviceId"}) {
    const std::string lead = std::string("  \"") + member + "\": ";
    EXPECT_EQ(document.compare(at, lead.size(), lead), 0) << "expected " << member << " at " << at << ":\n" << document;
    at = document.find('\n', at) + 1;
  }
  EXPECT_EQ(document.substr(at), "}\n");
  picojson::value v;
  EXPECT_EQ(picojson::parse(v, document), "") << document;
  return v.is<picojson::object>() ? v.get<picojson::object>() : picojson::object{};
}

class HostProcess : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(hostPath().empty()) << "QUORVIA_HOST is not set"; }
};

TEST_F(HostProcess, AnswersEachRequestOfTheCorpusWithOneFrame) {
  const auto answers = errorAnswers();
  const auto corpus = requestCorpus();
  ASSERT_GT(corpus.size(), 50u) << "QUORVIA_TEST_DATA should name tests/corpus";
  for (const CorpusRow& row : corpus) {
    SCOPED_TRACE(row.line);
    const HostRun run = runHost(row.input);
    EXPECT_EQ(run.exitStatus, row.status);
    EXPECT_EQ(run.err, "");
    if (row.status != 0) {
      EXPECT_EQ(run.out, frame(answers.at(std::stoi(row.codeOrKey))));
    } else {
      EXPECT_EQ(documentOf(run.out, row.codeOrKey).size(), 11u);
    }
    // Memory follows the bytes that arrive, never the length announced.
    if (!hostIsWindows() && !hostIsSanitized() && !hostIsEmulated()) {
      EXPECT_LT(run.maxRssKiB, 16 << 10);
    }
  }
}

// Left out under qemu-user (process_arm64), whose memory and time it distorts.
TEST_F(HostProcess, LargestRequestABrowserSendsIsAnsweredInBoundedMemory) {
  // Chrome hands a host at most 64 MiB; under Wine a smaller body shows the same path.
  const std::size_t size = hostIsWindows() ? (8u << 20) : (64u << 20);
  std::string big = "{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + k16 + "\",\"pad\":\"";
  big.append(size - big.size() - 2, 'x');
  const HostRun large = runHost(frame(big + "\"}"));
  documentOf(large.out, k16);
  if (!hostIsWindows() && !hostIsSanitized()) {
    EXPECT_LT(large.maxRssKiB, static_cast<long>(3 * size / 1024 + (16 << 10)));
  }
}

TEST_F(HostProcess, SlowAndAbandonedRequests) {
  RunOptions slow, closed;
  slow.writeStep = 1;  // one byte at a time
  documentOf(runHost(frame(request(k16)), slow).out, k16);
  closed.closeStdoutFirst = true;  // the reader went away: the same status, no signal
  for (const auto& [key, status] : {std::pair{k16, 0}, std::pair{std::string("short"), 1}}) {
    const HostRun run = runHost(frame(request(key)), closed);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, status);
  }
}

// In a locale whose encoding takes two bytes for kana, the key is read in that
// encoding and its bytes become the AES key: eight kana, sixteen bytes.
TEST_F(HostProcess, KeyBytesFollowTheUsersLocaleEncoding) {
  RunOptions japanese;
  std::string kana = "\x82\xA0";
  japanese.env = {"LC_ALL=ja_JP.UTF-8"};  // Wine: ANSI code page 932
  if (!hostIsWindows()) {
    const char* locales = std::getenv("QUORVIA_TEST_LOCPATH");
    if (!locales) GTEST_SKIP() << "no generated EUC-JP locale";
    japanese.env = {std::string("LOCPATH=") + locales, "LC_ALL=ja_JP.EUC-JP"};
    kana = "\xA4\xA2";
  }
  std::string key;
  for (int i = 0; i < 8; ++i) key += kana;
  const HostRun run = runHost(frame(request(key)), japanese);
  EXPECT_EQ(run.exitStatus, 0);
  documentOf(run.out, key);
}

std::string trimmed(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}
std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The document against readings of this machine taken by other means.
TEST_F(HostProcess, DocumentDescribesThisMachine) {
  const HostRun run = runHost(frame(request(k32)));
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  const picojson::object doc = documentOf(run.out, k32);
  const auto text = [&](const std::string& key) {
    const auto it = doc.find(key);
    if (it == doc.end()) return std::string("<missing>");
    return it->second.is<picojson::array>() ? it->second.serialize() : it->second.to_str();
  };
  const bool windows = hostIsWindows();
  // Every interface with a hardware address other than loopback is listed.
  const std::string macs = upper(
      commandOutput("for i in /sys/class/net/*; do [ \"$(cat $i/type)\" = 772 ] || cat $i/address; done 2>/dev/null"));
  for (std::size_t at = 0, end; (end = macs.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string mac = macs.substr(at, end - at);
    if (mac != "00:00:00:00:00:00") {
      EXPECT_NE(text("macAddress").find(mac), std::string::npos) << mac;
    }
  }
  EXPECT_EQ(text("authorizedOsUser"), trimmed(commandOutput("id -un")));
  EXPECT_GT(std::stod(text("storageSize")), 0);
  const std::string hostname = trimmed(commandOutput("uname -n"));
  // Wine reports the NetBIOS form of the name and its own registry entries.
  EXPECT_EQ(text("hostName"), windows ? upper(hostname.substr(0, 15)) : hostname);
  // Without firmware tables both hosts report the machine ID as an upper-case UUID.
  std::string id = upper(trimmed(commandOutput("cat /etc/machine-id 2>/dev/null || cat /var/lib/dbus/machine-id")));
  if (id.size() == 32 && trimmed(commandOutput("cat /sys/class/dmi/id/product_uuid 2>/dev/null")).empty()) {
    for (std::size_t at : {20, 16, 12, 8}) id.insert(at, "-");
    EXPECT_EQ(text("deviceId"), id);
  }
  if (windows) {
    EXPECT_EQ(text("osName").rfind("Microsoft Windows", 0), 0u) << text("osName");
    const std::string reg = commandOutput(std::string(std::getenv("QUORVIA_RUNNER")) +
                                          " reg query \"HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\""
                                          " /v ProcessorNameString");
    EXPECT_NE(reg.find(text("cpuName")), std::string::npos) << reg;
    return;
  }
  const std::string cpu = trimmed(commandOutput("grep -m1 '^model name' /proc/cpuinfo | sed 's/^[^:]*: //'"));
  if (!cpu.empty()) {
    EXPECT_EQ(text("cpuName"), cpu);
  }
  EXPECT_EQ(text("mainMemory"), trimmed(commandOutput("echo $(( $(getconf _PHYS_PAGES) * $(getconf PAGESIZE) ))")));
  EXPECT_EQ(text("osVersion"), trimmed(commandOutput("uname -r")));
  EXPECT_EQ(text("osName"),
            trimmed(commandOutput("(. /etc/os-release 2>/dev/null || . /usr/lib/os-release; echo \"$PRETTY_NAME\")")));
}

}  // namespace
}  // namespace quorvia::testing
