// What the probes make of what the system answers, as the document shows it.
// Failures, their codes and releases are in failures.tsv.
#include "device/probes.h"

#include <gtest/gtest.h>

#include "base/error_info.h"
#include "base/text.h"
#include "fake_system.h"

// The table keeps one row a line.
// clang-format off
namespace quorvia {
namespace {

using fake::FakeLocalSystem;
using fake::FakeWmiSystem;
using Bytes = std::vector<std::uint8_t>;
using Arrange = std::function<void(FakeLocalSystem&, FakeWmiSystem&)>;

Arrange adapters(std::vector<Bytes> list, std::size_t appearing = 0) {
  return [=](FakeLocalSystem& l, FakeWmiSystem&) { l.adapters = list, l.adaptersAppearing = appearing; };
}
Arrange cpu(std::u16string value, std::uint32_t bytesCut = 0) {
  // The host name probe leaves its text in the buffer the processor probe reuses.
  return [=](FakeLocalSystem& l, FakeWmiSystem&) { l.cpuValue = value, l.cpuBytesCut = bytesCut, l.computerName = u"LEFTOVER-HOST-NAME-IN-THE-BUFFER"; };
}
Arrange firstQuery(std::optional<std::vector<FakeWmiSystem::Object>> objects, std::string failAt = "") {
  return [=](FakeLocalSystem&, FakeWmiSystem& w) {
    const std::u16string query = u"SELECT * FROM Win32_ComputerSystem";
    objects ? void(w.queries[query] = *objects) : void(w.queries.erase(query));  // nullopt: no enumerator
    w.log.failAt = failAt;
  };
}

TEST(Probes, EachFieldAsTheDocumentShowsIt) {
  const std::vector<Bytes> many(1500, {0xAB, 0, 0, 0, 0, 1});  // 48,000 bytes of the fake's entries: more than the first block
  std::string manyText = "[";
  for (std::size_t i = 0; i < many.size(); ++i) manyText += i ? ", \"AB:00:00:00:00:01\"" : "\"AB:00:00:00:00:01\"";
  const FakeWmiSystem::Object first = {{u"Manufacturer", u"First"}, {u"Model", u"One"}};
  const struct {
    Arrange arrange;
    std::int32_t code;
    std::string member = "";  // its lines in the document, when the probes succeed
  } rows[] = {
      {[](auto& l, auto&) { l.computerName = l.userName = u"  \u6771\u4EAC Jos\u00E9 "; }, 0, "\"hostName\": \"  東京 José \""},
      {[](auto& l, auto&) { l.computerName = l.userName = std::u16string(259, u'n'); }, 0, "\"authorizedOsUser\": \"" + std::string(259, 'n') + "\""},
      {[](auto& l, auto&) { l.computerName = std::u16string(260, u'n'); }, errc::kHostName},
      {[](auto& l, auto&) { l.userName = std::u16string(260, u'n'); }, errc::kUserName},
      {adapters({{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, {}, {0x00, 0x01, 0x0F, 0x10, 0x9A, 0xBC, 0xDE, 0xFF}}), 0, "\"macAddress\": [\"00:1A:2B:3C:4D:5E\", \"00:01:0F:10:9A:BC:DE:FF\"]"},
      {adapters({{}, {}}), 0, "\"macAddress\": []"},
      {adapters({{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}), 0, "\"macAddress\": [\"01:02:03:04:05:06:07:08\"]"},  // never past the 8-byte field
      {adapters(many), 0, "\"macAddress\": " + manyText + "]"},
      {adapters(many, 1), errc::kAdapters},  // it grew again before the second call
      {cpu(std::u16string(u"  Xeon(R) Gold  \0junk", 21)), 0, "\"cpuName\": \"  Xeon(R) Gold  \""},
      {cpu(u"Xeon"), 0, "\"cpuName\": \"Xeon\""},  // not the rest of the host name
      {cpu(u"XeonZ", 1), 0, "\"cpuName\": \"Xeon\""},
      {cpu(std::u16string(512, u'c')), 0, "\"cpuName\": \"" + std::string(512, 'c') + "\""},
      {cpu(std::u16string(512, u'x') + u'\0'), errc::kProcessorValue},
      // A fixed drive with nothing to measure now (locked, not ready, denied, gone, unreadable) is left out, from F: on.
      {[](auto& l, auto&) { l.drives = {{'A', {2, 1474560}}, {'C', {kDriveFixed, 256060514304}}, {'D', {kDriveFixed, 1000202039296}}, {'E', {5, 4700000000}}, {'Z', {kDriveFixed, 999}}};
                            for (char f = 'F'; const std::uint32_t status : kUnmeasurableDriveStatuses) l.drives[f++] = {kDriveFixed, 1, status}; },
       0, "\"storageSize\": 1256262554599"},
      {[](auto& l, auto&) { l.drives['D'] = {kDriveFixed, 1, 2}; }, errc::kStorage},  // ERROR_FILE_NOT_FOUND is not one of them
      // The fields of one query come whole from the last object read, or stay empty.
      {firstQuery({{{{u"Manufacturer", std::u16string(u"Dell\0Inc.", 9)}, {u"Model", u" モデル "}}}}), 0, "\"venderName\": \"Dell\",\n  \"deviceName\": \" モデル \""},
      {firstQuery({{}}), 0, "\"venderName\": \"\",\n  \"deviceName\": \"\""},
      {firstQuery(std::nullopt), 0, "\"venderName\": \"\",\n  \"deviceName\": \"\""},
      {firstQuery({{first}}, "next#1"), 0, "\"venderName\": \"\",\n  \"deviceName\": \"\""},
      {firstQuery({{first, first}}, "next#2"), 0, "\"venderName\": \"First\",\n  \"deviceName\": \"One\""},
      {firstQuery({{first, {{u"Manufacturer", u"Second"}}}}), 0, "\"venderName\": \"Second\",\n  \"deviceName\": \"\""},  // Get fails
      {firstQuery({{{{u"Manufacturer", std::nullopt}}}}), 0, "\"venderName\": \"\""},  // null or not a string
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    fake::Log log;
    FakeLocalSystem local(log);
    FakeWmiSystem wmi(log);
    row.arrange(local, wmi);
    DeviceRecord record;
    ProbeBuffer buffer;
    try {
      collectDeviceInfo(local, wmi, record, buffer);
      EXPECT_EQ(row.code, 0);
    } catch (const ErrorInfo& error) {
      EXPECT_EQ(error.code, row.code);
    }
    const std::string document = toUtf8(record.formatDeviceDocument());
    // The management queries after the first one run as usual.
    if (row.code == 0) {
      EXPECT_NE(document.find("\n  " + row.member + ",\n"), std::string::npos) << document;
      EXPECT_NE(document.find("\"osName\": \"Microsoft Windows 11 Pro\""), std::string::npos);
    }
    EXPECT_EQ(local.keysOpen, 0);
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  }
}

}  // namespace
}  // namespace quorvia
