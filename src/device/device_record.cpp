#include "device/device_record.h"

#include <string_view>

#include "host/text.h"

namespace quorvia {

namespace {

void appendMember(std::u16string& out, std::u16string_view key) {
  out += u"  ";
  appendQuoted(out, key);
  out += u": ";
}

}  // namespace

std::u16string DeviceRecord::formatDeviceDocument() const {
  std::u16string out;
  out.reserve(512 + hostName.size() + macAddress.size() + venderName.size() + deviceName.size() + cpuName.size() +
              osName.size() + osVersion.size() + authorizedOsUser.size() + deviceId.size());
  out += u"{\n";
  appendMember(out, u"hostName");
  appendQuoted(out, hostName);
  out += u",\n";
  appendMember(out, u"macAddress");
  out += macAddress;  // already JSON array text
  out += u",\n";
  appendMember(out, u"venderName");
  appendQuoted(out, venderName);
  out += u",\n";
  appendMember(out, u"deviceName");
  appendQuoted(out, deviceName);
  out += u",\n";
  appendMember(out, u"cpuName");
  appendQuoted(out, cpuName);
  out += u",\n";
  appendMember(out, u"mainMemory");
  appendDecimal(out, mainMemory);
  out += u",\n";
  appendMember(out, u"storageSize");
  appendDecimal(out, storageSize);
  out += u",\n";
  appendMember(out, u"osName");
  appendQuoted(out, osName);
  out += u",\n";
  appendMember(out, u"osVersion");
  appendQuoted(out, osVersion);
  out += u",\n";
  appendMember(out, u"authorizedOsUser");
  appendQuoted(out, authorizedOsUser);
  out += u",\n";
  appendMember(out, u"deviceId");
  appendQuoted(out, deviceId);
  out += u"\n}\n";
  return out;
}

}  // namespace quorvia
