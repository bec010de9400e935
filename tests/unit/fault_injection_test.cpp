// Every coded failure, injected through the fake system and the fake cipher
// and driven through the whole host: one frame with that code and nothing
// else, no later probe called, nothing read past the request's frame, and
// every resource that was acquired released exactly once.
#include <gtest/gtest.h>

#include <functional>

#include "device/probes.h"
#include "fake_cipher.h"
#include "fake_system.h"
#include "host/request_cycle.h"
#include "host/response.h"
#include "memory_streams.h"

namespace quorvia {
namespace {

using fake::FakeLocalSystem;
using fake::FakeWmiSystem;
using testing::RecordingProvider;

struct Injection {
  int code;
  std::function<void(FakeLocalSystem&, FakeWmiSystem&)> breakSystem;
  std::string cipherFailsAt;
  bool platformFails = false;
};

// The first call each probe makes, in the order the host runs the probes.
const std::vector<std::string> kLocalProbeStarts = {"getComputerName",        "getAdaptersAddresses", "openMachineKey",
                                                    "getTotalPhysicalMemory", "getLogicalDrives",     "getUserName"};

std::vector<Injection> injections() {
  const long failed = fake::kWbemEFailed;
  return {
      {11, {}, "", true},
      {21, {}, "open"},
      {22, {}, "objectLength"},
      {24, {}, "blockLength"},
      {26, {}, "chaining"},
      {27, {}, "key"},
      {31, {}, "size"},
      {33, {}, "encrypt"},
      {101, [](auto& l, auto&) { l.computerName.reset(); }, ""},
      {201, [](auto& l, auto&) { l.adapterStatus = fake::kErrorBufferOverflow; }, ""},
      {301, [=](auto&, auto& w) { w.securityStatus = fake::kRpcETooLate; }, ""},
      {302, [=](auto&, auto& w) { w.locatorStatus = failed; }, ""},
      {303, [=](auto&, auto& w) { w.connectStatus = failed; }, ""},
      {304, [=](auto&, auto& w) { w.blanketStatus = failed; }, ""},
      {305, [=](auto&, auto& w) { w.queries[u"SELECT * FROM Win32_ComputerSystem"].status = failed; }, ""},
      {306, [=](auto&, auto& w) { w.queries[u"SELECT * FROM Win32_ComputerSystemProduct"].status = failed; }, ""},
      {401, [](auto& l, auto&) { l.openStatus = fake::kErrorFileNotFound; }, ""},
      {402, [](auto& l, auto&) { l.queryStatus = fake::kErrorFileNotFound; }, ""},
      {501, [](auto& l, auto&) { l.physicalMemory.reset(); }, ""},
      {601,
       [](auto& l, auto&) {
         l.drives['D'] = {kDriveFixed, std::nullopt};
       },
       ""},
      {701, [](auto& l, auto&) { l.userName.reset(); }, ""},
  };
}

// Where each code stops the probes: the index in kLocalProbeStarts of the
// first local probe that must not run, and whether management data may run.
std::pair<std::size_t, bool> stopPoint(int code) {
  if (code < 100) return {code == 11 ? 0 : kLocalProbeStarts.size(), code != 11};
  if (code < 300) return {static_cast<std::size_t>(code / 100), false};
  if (code < 400) return {2, true};
  return {static_cast<std::size_t>(code / 100 - 1), true};
}

TEST(FaultInjection, EachCodeIsTheOnlyAnswerAndEverythingIsReleased) {
  for (const Injection& injection : injections()) {
    SCOPED_TRACE(injection.code);
    FakeLocalSystem local;
    FakeWmiSystem wmi;
    if (injection.breakSystem) injection.breakSystem(local, wmi);
    RecordingProvider cipher(injection.cipherFailsAt);
    const std::string request =
        testing::frame("{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"0123456789abcdef\"}");
    testing::MemoryReader in(request + testing::frame("{\"second\":true}"));
    testing::MemoryWriter out;
    const DeviceCollector collect = [&](DeviceRecord& record) {
      ProbeBuffer buffer;
      collectDeviceInfo(local, wmi, record, buffer);
    };

    EXPECT_EQ(runHost(!injection.platformFails, in, out, collect, cipher), 1);
    EXPECT_EQ(out.bytes, testing::frame(errorResponseBody(injection.code)));
    EXPECT_EQ(in.consumed(), injection.platformFails ? 0u : request.size());

    const auto [firstSkipped, wmiRan] = stopPoint(injection.code);
    for (std::size_t i = firstSkipped; i < kLocalProbeStarts.size(); ++i) {
      EXPECT_FALSE(local.called(kLocalProbeStarts[i])) << kLocalProbeStarts[i] << " ran after the failure";
    }
    EXPECT_EQ(!wmi.log.empty(), wmiRan);
    if (injection.code >= 100) {
      EXPECT_TRUE(cipher.calls.empty()) << "the cipher ran after a probe failed";
    }
    EXPECT_EQ(local.keysOpened, local.keysClosed);
    EXPECT_FALSE(local.wrongKeyUsed);
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
    EXPECT_TRUE(cipher.balanced());
  }
}

TEST(FaultInjection, NothingFailingGivesTheDataResponse) {
  FakeLocalSystem local;
  FakeWmiSystem wmi;
  RecordingProvider cipher;
  testing::MemoryReader in(testing::frame("{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"0123456789abcdef\"}"));
  testing::MemoryWriter out;
  const DeviceCollector collect = [&](DeviceRecord& record) {
    ProbeBuffer buffer;
    collectDeviceInfo(local, wmi, record, buffer);
  };
  EXPECT_EQ(runHost(true, in, out, collect, cipher), 0);
  EXPECT_EQ(out.bytes.substr(4, 10), "{\"data\": \"");
  for (const auto& start : kLocalProbeStarts) EXPECT_TRUE(local.called(start)) << start;
  EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  EXPECT_TRUE(cipher.balanced());
}

}  // namespace
}  // namespace quorvia
