// The whole host with scripted fakes: the answer to each request of the
// corpus, and every code once with what it leaves behind.
#include <gtest/gtest.h>

#include <functional>
#include <new>

#include "corpus/corpus.h"
#include "crypto/encrypt.h"
#include "device/probes.h"
#include "fake_system.h"
#include "host/error_info.h"
#include "host/request_cycle.h"
#include "host/request_reader.h"
#include "host/response.h"
#include "host/text.h"
#include "memory_streams.h"

// The tables keep one row a line.
// clang-format off
namespace quorvia {
namespace {

using fake::FakeLocalSystem;
using fake::FakeWmiSystem;

const std::string kRequest = encodeFrame(R"({"command":"DeviceInfo","version":1,"key":"0123456789abcdef"})");

DeviceCollector probesOf(FakeLocalSystem& local, FakeWmiSystem& wmi) {
  return [&](DeviceRecord& record) {
    ProbeBuffer buffer;
    collectDeviceInfo(local, wmi, record, buffer);
  };
}

// The calls that make progress, in the order the host must make them.
const std::vector<std::string> kOrder = {
    "getComputerName", "getAdaptersAddresses", "initializeSecurity", "createLocator",          "connectServer",
    "setProxyBlanket", "execQuery",            "openMachineKey",     "queryValue",             "getTotalPhysicalMemory",
    "getLogicalDrives", "getDiskTotalBytes",   "getUserName",        "open",                   "objectLength",
    "blockLength",     "chaining",             "key",                "size",                   "encrypt"};

struct Row {
  std::int32_t code;
  std::string failsAt;                // the last call that runs: nothing but releases may follow it
  std::vector<std::string> released;  // after that call, in this order
  std::function<void(FakeLocalSystem&, FakeWmiSystem&)> arrange = {};
  std::string request = kRequest;
};

TEST(RunHost, EachCodeIsTheOnlyAnswerAndReleasesWhatWasHeldInOrder) {
  const std::vector<Row> rows = {
      {0, "encrypt", {"cipher key", "algorithm"}},
      {1, "", {}, {}, encodeFrame("{\"command\":")},
      {2, "", {}, {}, encodeFrame(R"({"command":"DeviceInfo","version":1})")},
      {3, "", {}, {}, encodeFrame(R"({"command":"deviceinfo","version":1,"key":"k"})")},
      {4, "", {}, {}, encodeFrame(R"({"command":"DeviceInfo","version":10001,"key":"k"})")},
      {errc::kComInit, "", {}},
      {21, "open", {}},
      {22, "objectLength", {"algorithm"}},
      {24, "blockLength", {"algorithm"}},
      {26, "chaining", {"algorithm"}},
      {27, "key", {"algorithm"}},
      {31, "size", {"cipher key", "algorithm"}},
      {33, "encrypt", {"cipher key", "algorithm"}},
      {101, "getComputerName", {}, [](auto& l, auto&) { l.computerName.reset(); }},
      {201, "getAdaptersAddresses", {}, [](auto& l, auto&) { l.adapterStatus = 31; }},
      {301, "initializeSecurity", {}, [](auto&, auto& w) { w.securityStatus = -2147417831; }},  // RPC_E_TOO_LATE
      {302, "createLocator", {}, [](auto&, auto& w) { w.locatorStatus = 1; }},  // success without an object
      {303, "connectServer", {"locator"}, [](auto&, auto& w) { w.connectStatus = fake::kFailed; }},
      {304, "setProxyBlanket", {"services", "locator"}, [](auto&, auto& w) { w.blanketStatus = fake::kFailed; }},
      {305, "execQuery", {"enumerator", "services", "locator"},
       [](auto&, auto& w) { w.queries[u"SELECT * FROM Win32_ComputerSystem"].status = fake::kFailed; }},
      {306, "execQuery", {"enumerator", "services", "locator"},
       [](auto&, auto& w) { w.queries[u"SELECT * FROM Win32_OperatingSystem"].status = fake::kFailed; }},
      {401, "openMachineKey", {}, [](auto& l, auto&) { l.openStatus = 2; }},
      {402, "queryValue", {"key"}, [](auto& l, auto&) { l.queryStatus = 2; }},
      {501, "getTotalPhysicalMemory", {}, [](auto& l, auto&) { l.physicalMemory.reset(); }},
      {601, "getDiskTotalBytes", {}, [](auto& l, auto&) { l.drives['D'] = {kDriveFixed, std::nullopt}; }},
      {701, "getUserName", {}, [](auto& l, auto&) { l.userName.reset(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    fake::Log log;
    FakeLocalSystem local(log);
    FakeWmiSystem wmi(log);
    fake::FakeCipher cipher(log, row.code == 0 ? "" : row.failsAt);
    if (row.arrange) row.arrange(local, wmi);
    testing::MemoryReader in(row.request + encodeFrame("{}"));
    testing::MemoryWriter out;
    EXPECT_EQ(runHost(row.code != errc::kComInit, in, out, probesOf(local, wmi), cipher), row.code == 0 ? 0 : 1);
    if (row.code != 0) {
      EXPECT_EQ(out.bytes, encodeFrame(errorResponseBody(row.code)));
    }
    EXPECT_EQ(in.consumed, row.code == errc::kComInit ? 0 : row.request.size());

    std::string last;
    std::size_t rank = 0;
    std::vector<std::string> released;
    for (const std::string& entry : log) {
      if (entry.rfind("release ", 0) == 0) {
        released.push_back(entry.substr(8));
        continue;
      }
      released.clear();
      const auto at = std::find(kOrder.begin(), kOrder.end(), entry);
      if (at == kOrder.end()) continue;
      EXPECT_GE(static_cast<std::size_t>(at - kOrder.begin()), rank) << entry << " ran after " << last;
      rank = static_cast<std::size_t>(at - kOrder.begin());
      last = entry;
    }
    EXPECT_EQ(last, row.failsAt);
    EXPECT_EQ(released, row.released);
    EXPECT_EQ(local.keysOpen, 0);
    EXPECT_FALSE(local.wrongKeyUsed);
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
    EXPECT_EQ(cipher.held, 0);
  }
}

TEST(RunHost, AnswersEachRequestOfTheCorpus) {
  const auto answers = testing::errorAnswers();
  const auto corpus = testing::requestCorpus();
  ASSERT_GT(corpus.size(), 50u) << "QUORVIA_TEST_DATA should name tests/corpus";
  const DeviceRecord found{u"", u"", u"WORKSTATION-7", u"[\"00:1A:2B:3C:4D:5E\"]", u"Contoso Ltd.", u"Model 9",
                           u"Fake CPU @ 3.00GHz", 17179869184, 256060514304, u"Microsoft Windows 11 Pro", u"10.0.22631",
                           u"alice", u"4C4C4544-0042-3510-8052-B4C04F564433"};
  auto cipher = makeSystemCipherProvider();
  for (const auto& row : corpus) {
    SCOPED_TRACE(row.line);
    fake::Log log;
    FakeLocalSystem local(log);
    FakeWmiSystem wmi(log);
    testing::MemoryReader in(row.input, 5);  // in pieces, as a pipe may deliver it
    testing::MemoryWriter out;
    EXPECT_EQ(runHost(true, in, out, probesOf(local, wmi), *cipher), row.status);
    if (row.status != 0) {
      EXPECT_EQ(out.bytes, encodeFrame(answers.at(std::stoi(row.codeOrKey))));
      continue;
    }
    const std::size_t head = kFrameHeaderSize + 10;  // {"data": "
    ASSERT_GT(out.bytes.size(), head + 2);
    const std::string data = out.bytes.substr(head, out.bytes.size() - head - 2);
    const std::u16string key(row.codeOrKey.begin(), row.codeOrKey.end());
    const SecretBytes plain = decryptPayload(data, key, builtInIv, *cipher);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), toUtf8(found.formatDeviceDocument()));
  }
}

TEST(RunHost, ReadsOnlyItsOwnFrame) {
  const std::string first = encodeFrame(R"({"command":"DeviceInfo","version":10000.9,"key":"0123456789abcdef"})");
  testing::MemoryReader in(first + first, 1);
  HostRequest request;
  readRequest(in, request);
  EXPECT_EQ(in.consumed, first.size());
  EXPECT_EQ(request.version, 10000);
  // A negative length announces no body, and nothing more is read.
  testing::MemoryReader negative(std::string("\xFF\xFF\xFF\xFF", 4) + first);
  EXPECT_THROW(readRequest(negative, request), ErrorInfo);
  EXPECT_EQ(negative.consumed, 4u);
}

TEST(RunHost, AFailureWithoutACodeWritesNothing) {
  testing::MemoryReader in(kRequest);
  testing::MemoryWriter out;
  auto cipher = makeSystemCipherProvider();
  EXPECT_THROW(runHost(true, in, out, [](DeviceRecord&) { throw std::bad_alloc(); }, *cipher), std::bad_alloc);
  EXPECT_EQ(out.bytes, "");
}

}  // namespace
}  // namespace quorvia
