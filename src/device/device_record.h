#pragma once

#include <cstdint>
#include <string>

namespace quorvia {

class WmiSystem;

// Everything one request gathers: the two cipher inputs and the eleven device
// values the probes collect. Fields are assigned whole by their probe.
struct DeviceRecord {
  std::u16string cipherKey;
  std::u16string cipherIv;
  std::u16string hostName;
  std::u16string macAddress;
  std::u16string venderName;
  std::u16string deviceName;
  std::u16string cpuName;
  std::int64_t mainMemory = 0;
  std::int64_t storageSize = 0;
  std::u16string osName;
  std::u16string osVersion;
  std::u16string authorizedOsUser;
  std::u16string deviceId;

  // The JSON text the extension decrypts. The cipher fields never appear in it.
  std::u16string formatDeviceDocument() const;

  // Fills venderName, deviceName, osName, osVersion and deviceId from the
  // management service (codes 301 to 306).
  void collectWmiInfo(WmiSystem& wmi);
};

}  // namespace quorvia
