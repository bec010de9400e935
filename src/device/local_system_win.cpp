// The local operations as the Win32 calls they are named after. wchar_t is
// UTF-16 on Windows, so texts pass straight through.

// winsock2.h must come before windows.h and iphlpapi.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>

#include "base/system_dll_win.h"
#include "device/system.h"

namespace quorvia {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

class WindowsLocalSystem final : public LocalSystem {
 public:
  bool getComputerName(char16_t* buffer, std::uint32_t capacity) override {
    DWORD size = capacity;
    return ::GetComputerNameW(wide(buffer), &size) != 0;
  }

  bool getUserName(char16_t* buffer, std::uint32_t capacity) override {
    DWORD size = capacity;
    return ::GetUserNameW(wide(buffer), &size) != 0;
  }

  long openMachineKey(const char16_t* path, RegistryKey& key) override {
    HKEY opened = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(path), 0, KEY_READ, &opened);
    if (status == ERROR_SUCCESS) key = opened;
    return status;
  }

  long queryValue(RegistryKey key, const char16_t* name, std::uint8_t* buffer, std::uint32_t& size) override {
    DWORD type = 0;
    DWORD bytes = size;
    const LSTATUS status = ::RegQueryValueExW(static_cast<HKEY>(key), wide(name), nullptr, &type, buffer, &bytes);
    size = bytes;
    return status;
  }

  void closeKey(RegistryKey key) override { ::RegCloseKey(static_cast<HKEY>(key)); }

  bool getTotalPhysicalMemory(std::uint64_t& bytes) override {
    MEMORYSTATUSEX status{};
    status.dwLength = 64;
    static_assert(sizeof status == 64);
    if (!::GlobalMemoryStatusEx(&status)) return false;
    bytes = status.ullTotalPhys;
    return true;
  }

  std::uint32_t getLogicalDrives() override { return ::GetLogicalDrives(); }

  std::uint32_t getDriveType(const char16_t* rootPath) override { return ::GetDriveTypeW(wide(rootPath)); }

  std::uint32_t getDiskTotalBytes(const char16_t* rootPath, std::uint64_t& totalBytes) override {
    ULARGE_INTEGER freeToCaller, total, totalFree;
    if (!::GetDiskFreeSpaceExW(wide(rootPath), &freeToCaller, &total, &totalFree)) {
      const DWORD error = ::GetLastError();
      return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    totalBytes = total.QuadPart;
    return 0;
  }

  std::uint32_t getAdaptersAddresses(void* buffer, std::uint32_t& size) override {
    // From System32's iphlpapi.dll only (not a KnownDLL: see systemDllFunction).
    static const auto getAdapters =
        systemDllFunction<decltype(&::GetAdaptersAddresses)>(L"iphlpapi.dll", "GetAdaptersAddresses");
    if (getAdapters == nullptr) return ERROR_MOD_NOT_FOUND;
    ULONG bytes = size;
    const ULONG status =
        getAdapters(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX, nullptr, static_cast<IP_ADAPTER_ADDRESSES*>(buffer), &bytes);
    // Only a needed size is documented; on success the whole block counts as
    // written, for the caller's wipe.
    if (status == ERROR_BUFFER_OVERFLOW) size = bytes;
    return status;
  }

  const void* nextAdapter(const void* entry) override { return static_cast<const IP_ADAPTER_ADDRESSES*>(entry)->Next; }

  std::uint32_t physicalAddress(const void* entry, const std::uint8_t*& bytes) override {
    const auto* adapter = static_cast<const IP_ADAPTER_ADDRESSES*>(entry);
    bytes = adapter->PhysicalAddress;
    return std::min<std::uint32_t>(adapter->PhysicalAddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
  }
};

}  // namespace

std::unique_ptr<LocalSystem> makeLocalSystem() { return std::make_unique<WindowsLocalSystem>(); }

}  // namespace quorvia
