#include "device/device_record.h"

#include <string_view>

#include "base/text.h"

namespace quorvia {

std::u16string DeviceRecord::formatDeviceDocument() const {
  std::u16string out;
  out.reserve(512 + hostName.size() + macAddress.size() + venderName.size() + deviceName.size() + cpuName.size() +
              osName.size() + osVersion.size() + authorizedOsUser.size() + deviceId.size());
  // One member a line, in the order the extension reads them; every line but
  // the last member's ends with a comma.
  auto key = [&out](std::u16string_view name) {
    out += u"  ";
    appendQuoted(out, name);
    out += u": ";
  };
  auto quoted = [&](std::u16string_view name, std::u16string_view value) {
    key(name);
    appendQuoted(out, value);
    out += u",\n";
  };
  auto number = [&](std::u16string_view name, std::int64_t value) {
    key(name);
    appendDecimal(out, value);
    out += u",\n";
  };
  out += u"{\n";
  quoted(u"hostName", hostName);
  key(u"macAddress");
  out += macAddress;  // already JSON array text
  out += u",\n";
  quoted(u"venderName", venderName);
  quoted(u"deviceName", deviceName);
  quoted(u"cpuName", cpuName);
  number(u"mainMemory", mainMemory);
  number(u"storageSize", storageSize);
  quoted(u"osName", osName);
  quoted(u"osVersion", osVersion);
  quoted(u"authorizedOsUser", authorizedOsUser);
  key(u"deviceId");
  appendQuoted(out, deviceId);
  out += u"\n}\n";
  return out;
}

}  // namespace quorvia
