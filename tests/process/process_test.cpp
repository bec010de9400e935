// The built host, run as a browser runs it. ctest runs this once for the
// Linux host and once for the Windows host under Wine.
#include <gtest/gtest.h>
#include <picojson.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "host/frame.h"
#include "process/host_process.h"

namespace quorvia::testing {
namespace {

std::string hexOf(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string frame(const std::string& body) { return encodeFrame(body); }

std::string request(const std::string& key, const std::string& command = "DeviceInfo", int version = 1) {
  return "{\"command\":\"" + command + "\",\"version\":" + std::to_string(version) + ",\"key\":\"" + key + "\"}";
}

// The one frame of a response; fails the test if there is not exactly one.
std::string onlyFrameBody(const std::string& out) {
  if (out.size() < kFrameHeaderSize) {
    ADD_FAILURE() << "no frame header, " << out.size() << " bytes";
    return {};
  }
  const std::uint32_t n = decodeFrameLength(reinterpret_cast<const unsigned char*>(out.data()));
  EXPECT_EQ(out.size(), kFrameHeaderSize + n) << "bytes beyond the one frame, or a frame cut short";
  return out.substr(kFrameHeaderSize, n);
}

// Decrypts with the openssl command line, an implementation independent of
// the host's, using the key's bytes and the built-in IV text's bytes.
std::string decryptWithOpenssl(const std::string& body, const std::string& keyBytes) {
  const std::string prefix = "{\"data\": \"", suffix = "\"}";
  if (body.rfind(prefix, 0) != 0 || body.size() < prefix.size() + suffix.size() ||
      body.substr(body.size() - suffix.size()) != suffix) {
    ADD_FAILURE() << "not a data response: " << body;
    return {};
  }
  const std::string b64 = body.substr(prefix.size(), body.size() - prefix.size() - suffix.size());
  char path[] = "/tmp/quorvia-b64-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, b64.data(), b64.size()), static_cast<ssize_t>(b64.size()));
  close(fd);
  const std::string command = "openssl enc -d -aes-" + std::to_string(keyBytes.size() * 8) + "-cbc -K " +
                              hexOf(keyBytes) + " -iv " + hexOf("Hq4ZrW8nLc2VtK6p") + " -base64 -A -in " + path;
  const std::string plain = commandOutput(command);
  std::remove(path);
  return plain;
}

const char* const kDocumentKeys[] = {"hostName",  "macAddress",       "venderName",  "deviceName",
                                     "cpuName",   "mainMemory",       "storageSize", "osName",
                                     "osVersion", "authorizedOsUser", "deviceId"};

// Checks the document's fixed layout and returns it parsed.
picojson::object parseDocument(const std::string& document) {
  picojson::value v;
  const std::string error = picojson::parse(v, document);
  EXPECT_TRUE(error.empty()) << error << "\n" << document;
  EXPECT_EQ(document.substr(0, 2), "{\n");
  EXPECT_EQ(document.substr(document.size() - 2), "}\n");
  std::size_t at = 2;
  for (const char* key : kDocumentKeys) {
    const std::string lead = std::string("  \"") + key + "\": ";
    EXPECT_EQ(document.compare(at, lead.size(), lead), 0) << "expected " << key << " at offset " << at;
    at = document.find('\n', at) + 1;
  }
  return v.is<picojson::object>() ? v.get<picojson::object>() : picojson::object{};
}

class HostProcess : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(hostPath().empty()) << "QUORVIA_HOST is not set"; }
};

TEST_F(HostProcess, AnswersWithOneEncryptedDocumentForEveryKeySize) {
  for (const std::string key : {"0123456789abcdef", "0123456789abcdef01234567", "0123456789abcdef0123456789abcdef"}) {
    const HostRun run = runHost(frame(request(key)));
    EXPECT_EQ(run.exitStatus, 0) << key;
    EXPECT_EQ(run.err, "");
    const std::string body = onlyFrameBody(run.out);
    EXPECT_EQ(body.find('\n'), std::string::npos);
    const std::string document = decryptWithOpenssl(body, key);
    const picojson::object members = parseDocument(document);
    EXPECT_EQ(members.size(), 11u);
    // Base64 of N = 16 * (n / 16 + 1) cipher bytes, and 12 bytes of wrapping.
    const std::size_t n = document.size(), cipher = 16 * (n / 16 + 1);
    EXPECT_EQ(body.size(), 12 + 4 * ((cipher + 2) / 3));
  }
}

TEST_F(HostProcess, ErrorResponsesByteForByte) {
  struct Case {
    std::string input;
    std::string body;
  };
  const std::string invalid = "{\"errorCode\": 1,\"errorMessage\": \"入力情報が無効です。\"}";
  const std::vector<Case> cases = {
      {"", invalid},
      {frame("{\"command\":"), invalid},
      {frame(R"({"command":"DeviceInfo","version":1})"),
       "{\"errorCode\": 2,\"errorMessage\": \"入力情報が無効です。\"}"},
      {frame(request("0123456789abcdef", "deviceinfo")),
       "{\"errorCode\": 3,\"errorMessage\": \"未知のコマンドです。\"}"},
      {frame(request("0123456789abcdef", "DeviceInfo", 10001)),
       "{\"errorCode\": 4,\"errorMessage\": \"無効なバージョンです。Quorvia拡張を更新してください。\"}"},
      {frame(request("0123456789abcde")),
       "{\"errorCode\": 27,\"errorMessage\": \"暗号化処理に失敗しました。（ Error: returned by "
       "BCryptGenerateSymmetricKey ）\"}"},
  };
  for (const Case& c : cases) {
    const HostRun run = runHost(c.input);
    EXPECT_EQ(run.exitStatus, 1) << c.body;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, frame(c.body));
  }
}

TEST_F(HostProcess, OnlyTheFirstFrameIsAnswered) {
  const HostRun run = runHost(frame(request("0123456789abcdef", "Nope")) + frame(request("0123456789abcdef")));
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, frame("{\"errorCode\": 3,\"errorMessage\": \"未知のコマンドです。\"}"));
}

TEST_F(HostProcess, StandardInputIsReadAsRawBytes) {
  // A length whose first byte is 0x1A (end of file to a text-mode reader)
  // and a body with CR LF pairs that text mode would shorten.
  std::string body = "{\r\n\"command\":\"DeviceInfo\",\r\n\"version\":1,\"key\":\"0123456789abcdef\"}";
  body.resize(0x11A, ' ');
  const HostRun run = runHost(frame(body));
  EXPECT_EQ(run.exitStatus, 0);
  parseDocument(decryptWithOpenssl(onlyFrameBody(run.out), "0123456789abcdef"));
}

TEST_F(HostProcess, AFrameArrivingOneByteAtATimeIsAnswered) {
  RunOptions slow;
  slow.writeStep = 1;
  const HostRun run = runHost(frame(request("0123456789abcdef")), slow);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  parseDocument(decryptWithOpenssl(onlyFrameBody(run.out), "0123456789abcdef"));
}

TEST_F(HostProcess, HugeAnnouncedLengthCostsOnlyWhatArrives) {
  const HostRun run = runHost(std::string("\xFE\xFF\xFF\x7F", 4) + request("0123456789abcdef"));
  EXPECT_EQ(run.exitStatus, 0);
  parseDocument(decryptWithOpenssl(onlyFrameBody(run.out), "0123456789abcdef"));
  if (!hostIsWindows() && !hostIsSanitized()) {
    EXPECT_LT(run.maxRssKiB, 16 * 1024);
  }
}

TEST_F(HostProcess, AReaderThatWentAwayDoesNotChangeTheExitStatus) {
  RunOptions closed;
  closed.closeStdoutFirst = true;
  const HostRun ok = runHost(frame(request("0123456789abcdef")), closed);
  EXPECT_EQ(ok.signal, 0);
  EXPECT_EQ(ok.exitStatus, 0);
  const HostRun rejected = runHost(frame(request("short")), closed);
  EXPECT_EQ(rejected.signal, 0);
  EXPECT_EQ(rejected.exitStatus, 1);
}

// In a locale whose encoding takes two bytes for kana, the request's key is
// read in that encoding and its bytes become the AES key: eight kana, sixteen
// bytes, AES-128.
TEST_F(HostProcess, KeyBytesFollowTheUsersLocaleEncoding) {
  RunOptions japanese;
  std::string kana;
  if (hostIsWindows()) {
    japanese.env = {"LC_ALL=ja_JP.UTF-8"};  // Wine: ANSI code page 932
    kana = "\x82\xA0";
  } else {
    const char* locales = std::getenv("QUORVIA_TEST_LOCPATH");
    if (!locales) GTEST_SKIP() << "no generated EUC-JP locale";
    japanese.env = {std::string("LOCPATH=") + locales, "LC_ALL=ja_JP.EUC-JP"};
    kana = "\xA4\xA2";
  }
  std::string key;
  for (int i = 0; i < 8; ++i) key += kana;
  const HostRun run = runHost(frame(request(key)), japanese);
  EXPECT_EQ(run.exitStatus, 0);
  parseDocument(decryptWithOpenssl(onlyFrameBody(run.out), key));
}

TEST_F(HostProcess, LargestRequestABrowserSendsIsAnsweredInBoundedMemory) {
  // Chrome hands a host at most 64 MiB; under Wine a smaller body suffices
  // to show the same path.
  const std::size_t size = hostIsWindows() ? (8u << 20) : (64u << 20);
  std::string body = "{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"0123456789abcdef\",\"pad\":\"";
  body.append(size - body.size() - 2, 'x');
  body += "\"}";
  const HostRun run = runHost(frame(body));
  EXPECT_EQ(run.exitStatus, 0);
  parseDocument(decryptWithOpenssl(onlyFrameBody(run.out), "0123456789abcdef"));
  if (!hostIsWindows() && !hostIsSanitized()) {
    EXPECT_LT(run.maxRssKiB, static_cast<long>(3 * size / 1024 + 16 * 1024));
  }
}

// Many hosts at once, as a browser with several extension pages may start
// them: every answer is the one a lone run gives.
TEST_F(HostProcess, ConcurrentRunsGiveTheSameAnswerAsALoneRun) {
  const std::size_t total = hostIsWindows() ? 32 : 320, parallel = hostIsWindows() ? 8 : 16;
  const std::string input = frame(request("0123456789abcdef0123456789abcdef"));
  const HostRun lone = runHost(input);
  ASSERT_EQ(lone.exitStatus, 0);
  std::vector<HostRun> runs(total);
  for (std::size_t start = 0; start < total; start += parallel) {
    std::vector<std::thread> threads;
    for (std::size_t i = start; i < std::min(total, start + parallel); ++i) {
      threads.emplace_back([&runs, &input, i] { runs[i] = runHost(input); });
    }
    for (auto& t : threads) t.join();
  }
  std::size_t differing = 0;
  for (const HostRun& run : runs) differing += run.exitStatus != 0 || run.out != lone.out || !run.err.empty();
  EXPECT_EQ(differing, 0u) << "of " << total << " runs";
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The machine ID as the 8-4-4-4-12 upper-case UUID that both hosts report
// on a machine without firmware tables.
std::string machineIdAsUuid() {
  std::string id = trimmed(commandOutput("cat /etc/machine-id 2>/dev/null || cat /var/lib/dbus/machine-id"));
  if (id.size() != 32) return {};
  id = upper(id);
  return id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" + id.substr(16, 4) + "-" +
         id.substr(20);
}

std::string text(const picojson::object& o, const std::string& key) {
  auto it = o.find(key);
  return it != o.end() && it->second.is<std::string>() ? it->second.get<std::string>() : "<missing>";
}

double number(const picojson::object& o, const std::string& key) {
  auto it = o.find(key);
  return it != o.end() && it->second.is<double>() ? it->second.get<double>() : -1;
}

// The document against readings of the machine taken by other means.
TEST_F(HostProcess, DocumentDescribesThisMachine) {
  const std::string key = "0123456789abcdef0123456789abcdef";
  const HostRun run = runHost(frame(request(key)));
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  const picojson::object doc = parseDocument(decryptWithOpenssl(onlyFrameBody(run.out), key));
  const std::string hostname = trimmed(commandOutput("uname -n"));
  const std::string user = trimmed(commandOutput("id -un"));
  const std::string uuid = machineIdAsUuid();
  const bool hasDmi = !trimmed(commandOutput("cat /sys/class/dmi/id/product_uuid 2>/dev/null")).empty();
  // Every interface with a hardware address other than loopback is listed.
  const std::string addresses = upper(
      commandOutput("for i in /sys/class/net/*; do [ \"$(cat $i/type)\" = 772 ] || cat $i/address; done 2>/dev/null"));
  const auto macs = doc.find("macAddress");
  ASSERT_NE(macs, doc.end());
  ASSERT_TRUE(macs->second.is<picojson::array>());
  std::string listed;
  for (const auto& m : macs->second.get<picojson::array>()) listed += m.to_str() + "\n";
  for (std::size_t at = 0, end; (end = addresses.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string mac = addresses.substr(at, end - at);
    if (!mac.empty() && mac != "00:00:00:00:00:00") {
      EXPECT_NE(listed.find(mac), std::string::npos) << mac;
    }
  }
  EXPECT_EQ(text(doc, "authorizedOsUser"), user);
  EXPECT_GT(number(doc, "storageSize"), 0);
  if (!hasDmi && !uuid.empty()) {
    EXPECT_EQ(text(doc, "deviceId"), uuid);
  }

  if (hostIsWindows()) {
    // Wine reports the NetBIOS form of the name and its own registry entries.
    EXPECT_EQ(text(doc, "hostName"), upper(hostname.substr(0, 15)));
    const std::string reg = commandOutput(std::string(std::getenv("QUORVIA_RUNNER")) +
                                          " reg query \"HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\""
                                          " /v ProcessorNameString");
    EXPECT_NE(reg.find(text(doc, "cpuName")), std::string::npos) << reg;
    EXPECT_EQ(text(doc, "osName").rfind("Microsoft Windows", 0), 0u) << text(doc, "osName");
    EXPECT_NE(text(doc, "osVersion").find('.'), std::string::npos);
    return;
  }
  EXPECT_EQ(text(doc, "hostName"), hostname);
  const std::string cpu = trimmed(commandOutput("grep -m1 '^model name' /proc/cpuinfo | sed 's/^[^:]*: //'"));
  if (!cpu.empty()) {
    EXPECT_EQ(text(doc, "cpuName"), cpu);
  }
  const double memory = std::stod(trimmed(commandOutput("echo $(( $(getconf _PHYS_PAGES) * $(getconf PAGESIZE) ))")));
  EXPECT_EQ(number(doc, "mainMemory"), memory);
  EXPECT_EQ(text(doc, "osVersion"), trimmed(commandOutput("uname -r")));
  EXPECT_EQ(text(doc, "osName"),
            trimmed(commandOutput("(. /etc/os-release 2>/dev/null || . /usr/lib/os-release; echo \"$PRETTY_NAME\")")));
  if (!hasDmi) {
    EXPECT_EQ(text(doc, "venderName"), "");
  }
}

}  // namespace
}  // namespace quorvia::testing
