#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quorvia {

// The operating-system operations the probes are written against. Each one
// mirrors one Windows call, with the results the probe logic relies on; the
// Windows implementation is that call, the Linux one gives the same meaning
// from the kernel's own sources. Statuses follow the Windows conventions of
// the call they stand for: `long` registry statuses (0 is success), HRESULTs
// (negative is failure), BOOL-style `bool` results.

using RegistryKey = void*;

constexpr std::uint32_t kDriveFixed = 3;  // DRIVE_FIXED
// Statuses the probe logic tells apart.
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorNotReady = 21;
constexpr std::uint32_t kErrorBufferOverflow = 111;
constexpr std::uint32_t kFveLockedVolume = 0x80310000;  // FVE_E_LOCKED_VOLUME: BitLocker has not unlocked it

// Size-query statuses of a fixed drive that has nothing to measure now: the
// drive is left out of the sum instead of failing every request on that
// machine. Any other status is a failure. Names and numbers from Microsoft
// Learn, "System Error Codes (0-499)" and "(1000-1299)", and the BitLocker
// FVE_E_ codes; GetDiskFreeSpaceExW reports them through GetLastError.
constexpr std::uint32_t kUnmeasurableDriveStatuses[] = {
    3,                   // ERROR_PATH_NOT_FOUND: the letter went away after GetLogicalDrives
    kErrorAccessDenied,  // its root denies this user
    15,                  // ERROR_INVALID_DRIVE: the letter went away, as above
    kErrorNotReady,      // no medium, or still spinning up
    1005,                // ERROR_UNRECOGNIZED_VOLUME: RAW, or a file system Windows does not read
    1167,                // ERROR_DEVICE_NOT_CONNECTED: unplugged during the scan
    kFveLockedVolume,
};
constexpr std::uint32_t kWbemInfinite = 0xFFFFFFFF;
constexpr long kWbemQueryFlags = 0x30;  // forward-only | return immediately

class LocalSystem {
 public:
  virtual ~LocalSystem() = default;

  // GetComputerNameW / GetUserNameW: NUL-terminated text into `buffer`, which
  // holds `capacity` units. False on failure (including a name too long).
  virtual bool getComputerName(char16_t* buffer, std::uint32_t capacity) = 0;
  virtual bool getUserName(char16_t* buffer, std::uint32_t capacity) = 0;

  // RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ): 0 and an open key,
  // or a non-zero status and nothing open.
  virtual long openMachineKey(const char16_t* path, RegistryKey& key) = 0;
  // RegQueryValueExW: 0, the value's bytes in `buffer` and their count in
  // `size`; non-zero when the value is missing or larger than `size` bytes.
  virtual long queryValue(RegistryKey key, const char16_t* name, std::uint8_t* buffer, std::uint32_t& size) = 0;
  virtual void closeKey(RegistryKey key) = 0;

  // GlobalMemoryStatusEx: ullTotalPhys, or false.
  virtual bool getTotalPhysicalMemory(std::uint64_t& bytes) = 0;

  // GetLogicalDrives: bit 0 is drive A, bit 25 drive Z.
  virtual std::uint32_t getLogicalDrives() = 0;
  // GetDriveTypeW of a root path such as u"C:\\".
  virtual std::uint32_t getDriveType(const char16_t* rootPath) = 0;
  // GetDiskFreeSpaceExW: 0 and the total number of bytes, or the call's
  // GetLastError status.
  virtual std::uint32_t getDiskTotalBytes(const char16_t* rootPath, std::uint64_t& totalBytes) = 0;

  // GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX) into `buffer` of
  // `size` bytes: 0 and a chain of entries starting at the buffer, or a
  // non-zero status (no adapter, other failure, or kErrorBufferOverflow with
  // the size needed in `size`). On success `size` may come back lower: how
  // much of the buffer was written, all that needs wiping.
  virtual std::uint32_t getAdaptersAddresses(void* buffer, std::uint32_t& size) = 0;
  // Walks the chain the call left in the buffer; null after the last entry.
  virtual const void* nextAdapter(const void* entry) = 0;
  // The entry's hardware address: `bytes` and their count (0 to 8).
  virtual std::uint32_t physicalAddress(const void* entry, const std::uint8_t*& bytes) = 0;
};

// The management service, in the shape of the COM interfaces the probe uses.
// Every object handed out is owned by the caller, who calls release() once.
class WmiClassObject {
 public:
  // IWbemClassObject::Get then VariantClear: the status, and the property's
  // text when its value is a string (nullopt when null or of another type).
  virtual long get(const char16_t* property, std::optional<std::u16string>& text) = 0;
  virtual void release() = 0;

 protected:
  ~WmiClassObject() = default;
};

class WmiEnumerator {
 public:
  // IEnumWbemClassObject::Next with a count of 1: at most one object and the
  // number returned, which is 0 whenever no object is returned.
  virtual long next(std::uint32_t timeout, WmiClassObject** object, std::uint32_t* returned) = 0;
  virtual void release() = 0;

 protected:
  ~WmiEnumerator() = default;
};

class WmiServices {
 public:
  // CoSetProxyBlanket on this proxy (WinNT authentication, call level,
  // impersonation).
  virtual long setProxyBlanket() = 0;
  // IWbemServices::ExecQuery; the enumerator may be null on success.
  virtual long execQuery(const char16_t* language, const char16_t* query, long flags, WmiEnumerator** enumerator) = 0;
  virtual void release() = 0;

 protected:
  ~WmiServices() = default;
};

class WmiLocator {
 public:
  // IWbemLocator::ConnectServer with no user, password, locale or authority.
  virtual long connectServer(const char16_t* nameSpace, WmiServices** services) = 0;
  virtual void release() = 0;

 protected:
  ~WmiLocator() = default;
};

class WmiSystem {
 public:
  virtual ~WmiSystem() = default;
  // CoInitializeSecurity (default authentication, impersonate, EOAC_NONE).
  virtual long initializeSecurity() = 0;
  // CoCreateInstance(CLSID_WbemLocator, CLSCTX_INPROC_SERVER, IID_IWbemLocator).
  virtual long createLocator(WmiLocator** locator) = 0;
};

// The real system of the platform the host was built for.
std::unique_ptr<LocalSystem> makeLocalSystem();
std::unique_ptr<WmiSystem> makeWmiSystem();

}  // namespace quorvia
