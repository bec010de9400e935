#include <gtest/gtest.h>

#include "device/device_record.h"
#include "host/json.h"
#include "host/text.h"

namespace quorvia {
namespace {

// Host names, DMI strings and user names may hold any character the system
// accepts; the extension reads the document with a strict JSON.parse.
TEST(DeviceDocument, EveryControlCharacterSurvivesAStrictParser) {
  std::u16string all;
  for (char16_t c = 0; c < 0x20; ++c) all += {c, u'"', u'\\', u'\u3042'};
  DeviceRecord r;
  std::u16string DeviceRecord::*fields[] = {&DeviceRecord::hostName, &DeviceRecord::venderName,
                                            &DeviceRecord::deviceName, &DeviceRecord::cpuName,
                                            &DeviceRecord::osName, &DeviceRecord::osVersion,
                                            &DeviceRecord::authorizedOsUser, &DeviceRecord::deviceId};
  for (auto field : fields) r.*field = all;
  r.macAddress = u"[]";
  picojson::value doc;
  ASSERT_EQ(picojson::parse(doc, toUtf8(r.formatDeviceDocument())), "");
  for (const char* name : {"hostName", "venderName", "deviceName", "cpuName", "osName", "osVersion",
                           "authorizedOsUser", "deviceId"}) {
    EXPECT_EQ(doc.get(name).to_str(), toUtf8(all)) << name;
  }
}

}  // namespace
}  // namespace quorvia
