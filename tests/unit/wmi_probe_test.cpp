#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/device_record.h"
#include "fake_system.h"
#include "host/error_info.h"

namespace quorvia {
namespace {

using fake::FakeProperty;
using fake::FakeWmiSystem;
using fake::textProperty;
using ::testing::ElementsAre;

constexpr char16_t kComputerSystem[] = u"SELECT * FROM Win32_ComputerSystem";
constexpr char16_t kOperatingSystem[] = u"SELECT * FROM Win32_OperatingSystem";
constexpr char16_t kProduct[] = u"SELECT * FROM Win32_ComputerSystemProduct";

std::int32_t collect(FakeWmiSystem& wmi, DeviceRecord& record) {
  try {
    record.collectWmiInfo(wmi);
  } catch (const ErrorInfo& error) {
    return error.code;
  }
  return 0;
}

TEST(WmiQueries, FillTheFiveFieldsFromTheThreeClasses) {
  FakeWmiSystem wmi;
  DeviceRecord record;
  ASSERT_EQ(collect(wmi, record), 0);
  EXPECT_EQ(record.venderName, u"Contoso Ltd.");
  EXPECT_EQ(record.deviceName, u"Model 9");
  EXPECT_EQ(record.osName, u"Microsoft Windows 11 Pro");
  EXPECT_EQ(record.osVersion, u"10.0.22631");
  EXPECT_EQ(record.deviceId, u"4C4C4544-0042-3510-8052-B4C04F564433");

  EXPECT_EQ(wmi.nameSpace, u"ROOT\\CIMV2");
  ASSERT_EQ(wmi.queryCalls.size(), 3u);
  EXPECT_EQ(wmi.queryCalls[0].query, kComputerSystem);
  EXPECT_EQ(wmi.queryCalls[1].query, kOperatingSystem);
  EXPECT_EQ(wmi.queryCalls[2].query, kProduct);
  for (const auto& call : wmi.queryCalls) {
    EXPECT_EQ(call.language, u"WQL");
    EXPECT_EQ(call.flags, 0x30);
  }
  for (std::uint32_t timeout : wmi.nextTimeouts) EXPECT_EQ(timeout, 0xFFFFFFFFu);
  // Each enumerator and object goes before the next one is asked for.
  EXPECT_THAT(
      wmi.log,
      ElementsAre("initializeSecurity", "createLocator", "connectServer", "setProxyBlanket", "execQuery", "next",
                  "get Manufacturer", "get Model", "release object", "next", "release enumerator", "execQuery", "next",
                  "get Caption", "get Version", "release object", "next", "release enumerator", "execQuery", "next",
                  "get UUID", "release object", "next", "release enumerator", "release services", "release locator"));
  EXPECT_TRUE(wmi.everyObjectReleasedOnce());
}

TEST(WmiQueries, TextsArriveAsTheServiceDeliversThemUpToTheFirstNul) {
  FakeWmiSystem wmi;
  wmi.queries[kComputerSystem].objects = {{{u"Manufacturer", textProperty(std::u16string(u"Dell\0Inc.", 9))},
                                           {u"Model", textProperty(u"\u30E2\u30C7\u30EB")}}};
  wmi.queries[kOperatingSystem].objects = {
      {{u"Caption", textProperty(u"Microsoft Windows 10 Pro ")}, {u"Version", textProperty(u"10.0.19045")}}};
  wmi.queries[kProduct].objects = {{{u"UUID", textProperty(u"03000200-0400-0500-0006-00070008000a")}}};
  DeviceRecord record;
  ASSERT_EQ(collect(wmi, record), 0);
  EXPECT_EQ(record.venderName, u"Dell");
  EXPECT_EQ(record.deviceName, u"\u30E2\u30C7\u30EB");
  EXPECT_EQ(record.osName, u"Microsoft Windows 10 Pro ");
  EXPECT_EQ(record.deviceId, u"03000200-0400-0500-0006-00070008000a");
}

TEST(WmiQueries, EmptyOrFailingResultLeavesFieldsEmptyAndTheNextQueryRuns) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    FakeWmiSystem wmi;
    fake::FakeQuery& query = wmi.queries[kComputerSystem];
    if (variant == 0) query.objects.clear();
    if (variant == 1) query.nullEnumerator = true;
    if (variant == 2) query.failingNext = 0;
    // A Next that fails after the first object ends the result there.
    wmi.queries[kOperatingSystem].objects.push_back({{u"Caption", textProperty(u"never read")}});
    wmi.queries[kOperatingSystem].failingNext = 1;
    DeviceRecord record;
    ASSERT_EQ(collect(wmi, record), 0);
    EXPECT_EQ(record.venderName, u"");
    EXPECT_EQ(record.deviceName, u"");
    EXPECT_EQ(record.osName, u"Microsoft Windows 11 Pro");
    EXPECT_EQ(record.deviceId, u"4C4C4544-0042-3510-8052-B4C04F564433");
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  }
}

TEST(WmiQueries, LastObjectWinsWithoutMixingTwoObjects) {
  FakeWmiSystem wmi;
  wmi.queries[kComputerSystem].objects = {
      {{u"Manufacturer", textProperty(u"First Maker")}, {u"Model", textProperty(u"First Model")}},
      {{u"Manufacturer", textProperty(u"Second Maker")}},  // no Model at all
  };
  DeviceRecord record;
  ASSERT_EQ(collect(wmi, record), 0);
  EXPECT_EQ(record.venderName, u"Second Maker");
  EXPECT_EQ(record.deviceName, u"");
  EXPECT_TRUE(wmi.everyObjectReleasedOnce());
}

TEST(WmiQueries, UnreadableNullOrNonStringPropertyGivesEmptyText) {
  FakeWmiSystem wmi;
  wmi.queries[kComputerSystem].objects = {
      {{u"Manufacturer", FakeProperty{fake::kWbemEFailed, u"stale"}}, {u"Model", FakeProperty{0, std::nullopt}}}};
  wmi.queries[kProduct].objects = {{}};  // UUID missing: Get fails with not-found
  DeviceRecord record;
  record.venderName = record.deviceName = record.deviceId = u"prior";
  ASSERT_EQ(collect(wmi, record), 0);
  EXPECT_EQ(record.venderName, u"");
  EXPECT_EQ(record.deviceName, u"");
  EXPECT_EQ(record.deviceId, u"");
  EXPECT_EQ(record.osName, u"Microsoft Windows 11 Pro");
}

// ---- Failures: the code, and every object released once, most recent first.

TEST(WmiFailures, SetUpFailuresRaise301To304) {
  FakeWmiSystem security;
  security.securityStatus = fake::kRpcETooLate;  // security already set in the process
  DeviceRecord record;
  EXPECT_EQ(collect(security, record), 301);
  EXPECT_THAT(security.log, ElementsAre("initializeSecurity"));

  FakeWmiSystem locator;
  locator.locatorStatus = fake::kWbemEFailed;
  EXPECT_EQ(collect(locator, record), 302);
  EXPECT_EQ(locator.objectsHandedOut(), 0u);

  FakeWmiSystem connection;
  connection.connectStatus = fake::kWbemEFailed;
  EXPECT_EQ(collect(connection, record), 303);
  EXPECT_THAT(connection.releaseOrder(), ElementsAre("locator"));
  EXPECT_TRUE(connection.everyObjectReleasedOnce());

  FakeWmiSystem blanket;
  blanket.blanketStatus = fake::kWbemEFailed;
  EXPECT_EQ(collect(blanket, record), 304);
  EXPECT_THAT(blanket.releaseOrder(), ElementsAre("services", "locator"));
  EXPECT_TRUE(blanket.everyObjectReleasedOnce());
  EXPECT_TRUE(blanket.queryCalls.empty());
}

TEST(WmiFailures, FirstQueryRaises305AndReleasesEnumeratorServicesLocator) {
  FakeWmiSystem wmi;
  wmi.queries[kComputerSystem].status = fake::kWbemEFailed;
  wmi.queries[kComputerSystem].enumeratorEvenOnFailure = true;
  DeviceRecord record;
  EXPECT_EQ(collect(wmi, record), 305);
  EXPECT_THAT(wmi.releaseOrder(), ElementsAre("enumerator", "services", "locator"));
  EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  EXPECT_EQ(wmi.queryCalls.size(), 1u);
}

TEST(WmiFailures, SecondAndThirdQueriesRaise306KeepingEarlierFields) {
  for (const char16_t* failing : {kOperatingSystem, kProduct}) {
    SCOPED_TRACE(failing == kProduct ? "third" : "second");
    FakeWmiSystem wmi;
    wmi.queries[failing].status = fake::kWbemEFailed;
    wmi.queries[failing].enumeratorEvenOnFailure = true;
    DeviceRecord record;
    EXPECT_EQ(collect(wmi, record), 306);
    EXPECT_EQ(record.venderName, u"Contoso Ltd.");
    EXPECT_EQ(record.deviceId, u"");
    const std::vector<std::string> order = wmi.releaseOrder();
    ASSERT_GE(order.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(order.end() - 3, order.end()),
                ElementsAre("enumerator", "services", "locator"));
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  }
}

TEST(WmiFailures, SuccessWithoutAnObjectCountsAsThatCallsFailure) {
  // A provider that reports success but hands back nothing must not crash
  // the probe.
  struct NullLocator : FakeWmiSystem {
    long createLocator(WmiLocator** locator) override {
      *locator = nullptr;
      return 0;
    }
  } wmi;
  DeviceRecord record;
  EXPECT_EQ(collect(wmi, record), 302);
}

}  // namespace
}  // namespace quorvia
