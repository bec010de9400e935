// What each probe makes of what the system answers. Failures, their codes and
// releases are in run_host_test.cpp.
#include "device/probes.h"

#include <gtest/gtest.h>

#include "fake_system.h"
#include "host/error_info.h"

namespace quorvia {
namespace {

using fake::FakeLocalSystem;
using fake::FakeWmiSystem;
using Bytes = std::vector<std::uint8_t>;

std::int32_t raisedCode(const std::function<void()>& probe) {
  try {
    probe();
  } catch (const ErrorInfo& error) {
    return error.code;
  }
  return 0;
}

TEST(Probes, NamesAreTakenUnchangedUpTo259Units) {
  for (const std::u16string& name :
       {std::u16string(u"  \u6771\u4EAC Jos\u00E9 "), std::u16string(259, u'n'), std::u16string(260, u'n')}) {
    fake::Log log;
    FakeLocalSystem system(log);
    system.computerName = system.userName = name;
    DeviceRecord record;
    ProbeBuffer buffer;
    const std::int32_t code = name.size() < 260 ? 0 : errc::kHostName;
    EXPECT_EQ(raisedCode([&] { collectHostName(system, record, buffer); }), code) << name.size();
    EXPECT_EQ(raisedCode([&] { collectUserName(system, record, buffer); }), code ? errc::kUserName : 0);
    EXPECT_EQ(record.hostName, code ? u"" : name);
    EXPECT_EQ(record.authorizedOsUser, code ? u"" : name);
  }
}

// A list that outgrows the first block is asked for once more with the room
// the system named; if it has grown again by then, that is 201.
TEST(Probes, AdaptersListEachHardwareAddressAsUpperCaseHexPairs) {
  const std::vector<Bytes> many(1500, {0xAB, 0, 0, 0, 0, 1});  // 48,000 bytes of the fake's entries
  std::u16string manyText = u"[";
  for (std::size_t i = 0; i < many.size(); ++i) manyText += i ? u", \"AB:00:00:00:00:01\"" : u"\"AB:00:00:00:00:01\"";
  const struct {
    std::vector<Bytes> adapters;
    std::u16string text;
    std::size_t appearing = 0, calls = 1;
    std::int32_t code = 0;
  } cases[] = {
      {{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, {}, {0x00, 0x01, 0x0F, 0x10, 0x9A, 0xBC, 0xDE, 0xFF}},
       u"[\"00:1A:2B:3C:4D:5E\", \"00:01:0F:10:9A:BC:DE:FF\"]"},
      {{{}, {}}, u"[]"},
      {{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}, u"[\"01:02:03:04:05:06:07:08\"]"},  // never past the 8-byte field
      {many, manyText + u"]", 0, 2},
      {many, u"", 1, 2, errc::kAdapters},
  };
  for (const auto& c : cases) {
    fake::Log log;
    FakeLocalSystem system(log);
    system.adapters = c.adapters;
    system.adaptersAppearing = c.appearing;
    std::u16string text;
    EXPECT_EQ(raisedCode([&] { text = collectAdapterAddresses(system); }), c.code);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(static_cast<std::size_t>(std::count(log.begin(), log.end(), "getAdaptersAddresses")), c.calls);
    EXPECT_TRUE(system.adapterBufferZeroFilled);
  }
}

TEST(Probes, CpuNameEndsAtItsNulOrAtTheByteCountTheCallReported) {
  Bytes oddCount = fake::utf16Bytes(u"Xeon");
  oddCount.push_back('Z');
  const struct {
    Bytes value;
    std::int32_t code;
    std::u16string name;
  } cases[] = {
      {fake::utf16Bytes(std::u16string(u"  Xeon(R) Gold  \0junk", 21)), 0, u"  Xeon(R) Gold  "},
      {fake::utf16Bytes(u"Xeon"), 0, u"Xeon"},  // not the rest of the host name before it
      {oddCount, 0, u"Xeon"},
      {fake::utf16Bytes(std::u16string(512, u'c')), 0, std::u16string(512, u'c')},
      {fake::utf16Bytes(std::u16string(512, u'x') + u'\0'), errc::kProcessorValue, u""},
  };
  for (const auto& c : cases) {
    fake::Log log;
    FakeLocalSystem system(log);
    system.computerName = u"LEFTOVER-HOST-NAME-IN-THE-BUFFER";
    system.cpuValue = c.value;
    DeviceRecord record;
    ProbeBuffer buffer;
    collectHostName(system, record, buffer);
    EXPECT_EQ(raisedCode([&] { collectCpuName(system, record, buffer); }), c.code);
    EXPECT_EQ(record.cpuName, c.name);
    EXPECT_EQ(system.keysOpen, 0);
  }
}

// Locked (BitLocker), not ready and denied fixed drives are left out; any other
// size failure is 601 (the failure table).
TEST(Probes, StorageSumsTheReadableFixedDrivesOnly) {
  fake::Log log;
  FakeLocalSystem system(log);
  system.drives = {{'A', {2, 1474560}},
                   {'C', {kDriveFixed, 256060514304}},
                   {'D', {kDriveFixed, 1000202039296}},
                   {'E', {5, 4700000000}},
                   {'F', {kDriveFixed, std::nullopt, 0x80310000}},
                   {'G', {kDriveFixed, std::nullopt, 21}},
                   {'H', {kDriveFixed, std::nullopt, 5}},
                   {'Z', {kDriveFixed, 999}}};
  DeviceRecord record;
  collectStorageSize(system, record);
  EXPECT_EQ(record.storageSize, 1256262554599);
}

// What the first query's result set gives; the queries after it run as usual.
TEST(Probes, ManagementFieldsComeWholeFromTheLastObjectReadOrStayEmpty) {
  using Object = std::map<std::u16string, std::optional<std::u16string>>;
  const Object first = {{u"Manufacturer", u"First"}, {u"Model", u"One"}};
  const struct {
    fake::FakeQuery query;
    std::u16string vender, device;
  } cases[] = {
      {{{{{u"Manufacturer", std::u16string(u"Dell\0Inc.", 9)}, {u"Model", u" \u30E2\u30C7\u30EB "}}}},
       u"Dell",
       u" \u30E2\u30C7\u30EB "},
      {{}, u"", u""},
      {{{first}, 0, true}, u"", u""},                               // no enumerator
      {{{first}, 0, false, 0}, u"", u""},                           // Next fails at once
      {{{first, first}, 0, false, 1}, u"First", u"One"},            // Next fails after the first object
      {{{first, {{u"Manufacturer", u"Second"}}}}, u"Second", u""},  // Get fails: not the first object's Model
      {{{{{u"Manufacturer", std::nullopt}}}}, u"", u""},            // null or not a string
  };
  for (const auto& c : cases) {
    fake::Log log;
    FakeWmiSystem wmi(log);
    wmi.queries[u"SELECT * FROM Win32_ComputerSystem"] = c.query;
    DeviceRecord record;
    EXPECT_EQ(raisedCode([&] { record.collectWmiInfo(wmi); }), 0);
    EXPECT_EQ(record.venderName, c.vender);
    EXPECT_EQ(record.deviceName, c.device);
    EXPECT_EQ(record.osName + u"|" + record.osVersion + u"|" + record.deviceId,
              u"Microsoft Windows 11 Pro|10.0.22631|4C4C4544-0042-3510-8052-B4C04F564433");
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  }
}

}  // namespace
}  // namespace quorvia
