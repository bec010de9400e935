#pragma once

#include <cstdint>
#include <string>

#include "device/device_record.h"
#include "device/system.h"

namespace quorvia {

// Scratch space lent in turn to the host-name, CPU-name and user-name probes.
// It is not cleared between them.
struct ProbeBuffer {
  alignas(8) std::uint8_t bytes[1024] = {};
};

void collectHostName(LocalSystem& system, DeviceRecord& record, ProbeBuffer& buffer);  // 101
std::u16string collectAdapterAddresses(LocalSystem& system);                           // 201
void collectCpuName(LocalSystem& system, DeviceRecord& record, ProbeBuffer& buffer);   // 401, 402
void collectMainMemory(LocalSystem& system, DeviceRecord& record);                     // 501
void collectStorageSize(LocalSystem& system, DeviceRecord& record);                    // 601
void collectUserName(LocalSystem& system, DeviceRecord& record, ProbeBuffer& buffer);  // 701

// Every probe in the order that decides which failure is reported first:
// host name, adapters, management data, processor, memory, storage, user.
void collectDeviceInfo(LocalSystem& system, WmiSystem& wmi, DeviceRecord& record, ProbeBuffer& buffer);

}  // namespace quorvia
