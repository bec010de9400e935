#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/device_record.h"
#include "fake_system.h"
#include "host/error_info.h"

namespace quorvia {
namespace {

using fake::FakeProperty;
using fake::FakeQuery;
using fake::FakeWmiSystem;
using fake::textProperty;
using ::testing::ElementsAreArray;

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

fake::FakeObject maker(std::u16string manufacturer, std::u16string model) {
  return {{u"Manufacturer", textProperty(std::move(manufacturer))}, {u"Model", textProperty(std::move(model))}};
}

// What the first query's result set gives; the queries after it run as usual.
TEST(WmiQueries, FieldsComeWholeFromTheLastObjectReadOrStayEmpty) {
  FakeQuery failsAfterFirst{{maker(u"First", u"One"), maker(u"Second", u"Two")}};
  failsAfterFirst.failingNext = 1;
  FakeQuery noEnumerator;
  noEnumerator.nullEnumerator = true;
  FakeQuery failsAtOnce{{maker(u"First", u"One")}};
  failsAtOnce.failingNext = 0;
  const struct {
    const char* what;
    FakeQuery query;
    std::u16string vender, device;
  } cases[] = {
      {"texts as delivered, up to the first NUL",
       {{maker(std::u16string(u"Dell\0Inc.", 9), u" \u30E2\u30C7\u30EB ")}},
       u"Dell",
       u" \u30E2\u30C7\u30EB "},
      {"no object", {}, u"", u""},
      {"no enumerator", noEnumerator, u"", u""},
      {"Next failing at once", failsAtOnce, u"", u""},
      {"Next failing after the first object", failsAfterFirst, u"First", u"One"},
      {"the second object wins and its missing Model is not taken from the first",
       {{maker(u"First", u"One"), {{u"Manufacturer", textProperty(u"Second")}}}},
       u"Second",
       u""},
      {"Get failing, or a null or non-string value",
       {{{{u"Manufacturer", FakeProperty{fake::kWbemEFailed, u"stale"}}, {u"Model", FakeProperty{0, std::nullopt}}}}},
       u"",
       u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeWmiSystem wmi;
    wmi.queries[kComputerSystem] = c.query;
    DeviceRecord record;
    ASSERT_EQ(collect(wmi, record), 0);
    EXPECT_EQ(record.venderName, c.vender);
    EXPECT_EQ(record.deviceName, c.device);
    EXPECT_EQ(record.osName, u"Microsoft Windows 11 Pro");
    EXPECT_EQ(record.osVersion, u"10.0.22631");
    EXPECT_EQ(record.deviceId, u"4C4C4544-0042-3510-8052-B4C04F564433");
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  }
}

// A status of 1 is a success that hands back no object, which counts as that
// call's failure. A failing query still hands out an enumerator to release.
TEST(WmiFailures, EachStepRaisesItsCodeAndReleasesMostRecentFirst) {
  const struct {
    std::int32_t code;
    void (*arrange)(FakeWmiSystem&);
    std::vector<std::string> releases;
  } cases[] = {
      {301, [](FakeWmiSystem& w) { w.securityStatus = fake::kRpcETooLate; }, {}},  // set earlier in the process
      {302, [](FakeWmiSystem& w) { w.locatorStatus = fake::kWbemEFailed; }, {}},
      {302, [](FakeWmiSystem& w) { w.locatorStatus = 1; }, {}},
      {303, [](FakeWmiSystem& w) { w.connectStatus = fake::kWbemEFailed; }, {"locator"}},
      {303, [](FakeWmiSystem& w) { w.connectStatus = 1; }, {"locator"}},
      {304, [](FakeWmiSystem& w) { w.blanketStatus = fake::kWbemEFailed; }, {"services", "locator"}},
      {305,
       [](FakeWmiSystem& w) { w.queries[kComputerSystem].status = fake::kWbemEFailed; },
       {"enumerator", "services", "locator"}},
      {306,
       [](FakeWmiSystem& w) { w.queries[kOperatingSystem].status = fake::kWbemEFailed; },
       {"object", "enumerator", "enumerator", "services", "locator"}},
      {306,
       [](FakeWmiSystem& w) { w.queries[kProduct].status = fake::kWbemEFailed; },
       {"object", "enumerator", "object", "enumerator", "enumerator", "services", "locator"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    FakeWmiSystem wmi;
    c.arrange(wmi);
    DeviceRecord record;
    EXPECT_EQ(collect(wmi, record), c.code);
    EXPECT_THAT(wmi.releaseOrder(), ElementsAreArray(c.releases));
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  }
}

}  // namespace
}  // namespace quorvia
