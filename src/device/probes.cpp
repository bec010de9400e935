#include "device/probes.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "base/error_info.h"
#include "base/secret.h"

namespace quorvia {

namespace {

// Capacity, in characters, handed to the computer-name and user-name calls:
// the size every caller of those calls has used, smaller than the buffer.
constexpr std::uint32_t kNameCapacity = 260;
// The adapter list is asked for into a buffer of this size first; a list
// that does not fit is asked for once more with the size the system reported.
constexpr std::uint32_t kAdapterBufferSize = 44800;
constexpr std::uint32_t kMaxAddressLength = 8;  // MAX_ADAPTER_ADDRESS_LENGTH
constexpr std::size_t kRootPathUnits = 16;

constexpr char16_t kCpuKeyPath[] = u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr char16_t kCpuValueName[] = u"ProcessorNameString";

char16_t* probeText(ProbeBuffer& buffer) { return reinterpret_cast<char16_t*>(buffer.bytes); }

// The text in `bytes` up to its first NUL unit, but never past `maxUnits`
// units: the caller states how much of the buffer the system wrote, so a
// missing terminator can neither pull in what an earlier probe left behind
// nor run off the end of the buffer.
//
// The text is measured first and copied in one go: a string grown unit by
// unit would leave each outgrown block, holding a device value's beginning,
// unwiped on the heap.
std::u16string textUpToNul(const std::uint8_t* bytes, std::size_t maxUnits) {
  std::size_t units = 0;
  for (char16_t unit; units < maxUnits; ++units) {
    std::memcpy(&unit, bytes + units * sizeof unit, sizeof unit);
    if (unit == 0) break;
  }
  std::u16string text(units, u'\0');
  std::memcpy(text.data(), bytes, units * sizeof(char16_t));
  return text;
}

// Closes the processor key on every way out of the probe.
class MachineKey {
 public:
  MachineKey(LocalSystem& system, RegistryKey key) : system_(system), key_(key) {}
  ~MachineKey() { system_.closeKey(key_); }
  MachineKey(const MachineKey&) = delete;
  MachineKey& operator=(const MachineKey&) = delete;

  RegistryKey get() const { return key_; }

 private:
  LocalSystem& system_;
  RegistryKey key_;
};

void appendHexByte(std::u16string& out, std::uint8_t byte) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

}  // namespace

void collectHostName(LocalSystem& system, DeviceRecord& record, ProbeBuffer& buffer) {
  if (!system.getComputerName(probeText(buffer), kNameCapacity)) throw ErrorInfo{errc::kHostName};
  record.hostName = textUpToNul(buffer.bytes, kNameCapacity);
}

std::u16string collectAdapterAddresses(LocalSystem& system) {
  // The list holds the hardware addresses the document is made of: wiped
  // when released, but not cleared when taken (see WipedBlock).
  WipedBlock buffer = makeWipedBlock(kAdapterBufferSize);
  std::uint32_t size = kAdapterBufferSize;
  std::uint32_t status = system.getAdaptersAddresses(buffer.get(), size);
  // Hyper-V, WSL, VPN and virtual Wi-Fi adapters, each with its address and
  // prefix lists, outgrow the first block; the list may also change between
  // the calls, so a second overflow is a failure rather than a loop.
  if (status == kErrorBufferOverflow && size > kAdapterBufferSize) {
    buffer.reset();
    buffer = makeWipedBlock(size);
    status = system.getAdaptersAddresses(buffer.get(), size);
  }
  if (status != 0) throw ErrorInfo{errc::kAdapters};
  // Wiping pages the system never wrote would only fault them in.
  buffer.get_deleter().size = std::min<std::size_t>(buffer.get_deleter().size, size);

  std::u16string text = u"[";
  for (const void* entry = buffer.get(); entry != nullptr; entry = system.nextAdapter(entry)) {
    const std::uint8_t* bytes = nullptr;
    const std::uint32_t length = std::min(system.physicalAddress(entry, bytes), kMaxAddressLength);
    if (length == 0) continue;  // loopback and adapters without a hardware address
    if (text.size() > 1) text += u", ";
    text += u'"';
    for (std::uint32_t i = 0; i < length; ++i) {
      if (i != 0) text += u':';
      appendHexByte(text, bytes[i]);
    }
    text += u'"';
  }
  text += u']';
  return text;
}

void collectCpuName(LocalSystem& system, DeviceRecord& record, ProbeBuffer& buffer) {
  RegistryKey rawKey = nullptr;
  if (system.openMachineKey(kCpuKeyPath, rawKey) != 0) throw ErrorInfo{errc::kProcessorKey};
  const MachineKey key(system, rawKey);

  std::uint32_t size = sizeof buffer.bytes;
  if (system.queryValue(key.get(), kCpuValueName, buffer.bytes, size) != 0) throw ErrorInfo{errc::kProcessorValue};
  // A value stored without its terminating NUL ends at the byte count the
  // call reported; whatever follows in the buffer is not part of it.
  const std::size_t units = std::min<std::size_t>(size, sizeof buffer.bytes) / sizeof(char16_t);
  record.cpuName = textUpToNul(buffer.bytes, units);
}

void collectMainMemory(LocalSystem& system, DeviceRecord& record) {
  std::uint64_t bytes = 0;
  if (!system.getTotalPhysicalMemory(bytes)) throw ErrorInfo{errc::kMemory};
  record.mainMemory = static_cast<std::int64_t>(bytes);
}

void collectStorageSize(LocalSystem& system, DeviceRecord& record) {
  const std::uint32_t drives = system.getLogicalDrives();
  std::uint64_t sum = 0;
  for (int i = 0; i < 26; ++i) {
    if ((drives & (std::uint32_t{1} << i)) == 0) continue;
    char16_t rootPath[kRootPathUnits] = {static_cast<char16_t>(u'A' + i), u':', u'\\', 0};
    if (system.getDriveType(rootPath) != kDriveFixed) continue;
    std::uint64_t total = 0;
    const std::uint32_t status = system.getDiskTotalBytes(rootPath, total);
    // Counting the drives that can be measured beats never answering on a
    // machine with one that cannot.
    if (std::ranges::find(kUnmeasurableDriveStatuses, status) != std::end(kUnmeasurableDriveStatuses)) continue;
    if (status != 0) throw ErrorInfo{errc::kStorage};
    sum += total;
  }
  record.storageSize = static_cast<std::int64_t>(sum);
}

void collectUserName(LocalSystem& system, DeviceRecord& record, ProbeBuffer& buffer) {
  if (!system.getUserName(probeText(buffer), kNameCapacity)) throw ErrorInfo{errc::kUserName};
  record.authorizedOsUser = textUpToNul(buffer.bytes, kNameCapacity);
}

void collectDeviceInfo(LocalSystem& system, WmiSystem& wmi, DeviceRecord& record, ProbeBuffer& buffer) {
  collectHostName(system, record, buffer);
  record.macAddress = collectAdapterAddresses(system);
  record.collectWmiInfo(wmi);
  collectCpuName(system, record, buffer);
  collectMainMemory(system, record);
  collectStorageSize(system, record);
  collectUserName(system, record, buffer);
}

}  // namespace quorvia
