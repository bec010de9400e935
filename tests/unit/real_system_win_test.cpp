// The Windows providers on this machine (under Wine in the cross build) where
// the process tests do not reach, checked against other ways of asking the
// system: the wmic tool, the ANSI drive calls and the performance counters.
#include <windows.h>
// clang-format off
#include <objbase.h>
#include <psapi.h>
// clang-format on
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "device/probes.h"
#include "host/error_info.h"

namespace quorvia {
namespace {

// The value line of `wmic path CLASS get PROPERTY` (UTF-16: a header line, then
// the value padded with spaces), trimmed; empty when wmic cannot be run.
std::u16string wmicValue(const std::wstring& query) {
  FILE* pipe = ::_wpopen((L"wmic path " + query).c_str(), L"rb");
  std::u16string text;
  for (char16_t unit; pipe != nullptr && std::fread(&unit, 2, 1, pipe) == 1;) text += unit;
  if (pipe == nullptr || ::_pclose(pipe) != 0 || text.find(u"\r\n") == std::u16string::npos) return u"";
  text = text.substr(text.find(u"\r\n") + 2);
  text = text.substr(0, text.find(u"\r\n"));
  while (!text.empty() && text.back() == u' ') text.pop_back();
  return text;
}

TEST(RealWindowsSystem, ManagementValuesAreWhatTheServiceTellsOtherClients) {
  // Call security can be set once per process; this is the only test that does.
  ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  DeviceRecord record;
  EXPECT_NO_THROW(record.collectWmiInfo(*makeWmiSystem()));
  ::CoUninitialize();
  if (wmicValue(L"Win32_OperatingSystem get Version").empty()) GTEST_SKIP() << "wmic is not available";
  EXPECT_EQ(record.venderName, wmicValue(L"Win32_ComputerSystem get Manufacturer"));
  EXPECT_EQ(record.deviceName, wmicValue(L"Win32_ComputerSystem get Model"));
  EXPECT_EQ(record.osName, wmicValue(L"Win32_OperatingSystem get Caption"));
  EXPECT_EQ(record.osVersion, wmicValue(L"Win32_OperatingSystem get Version"));
  EXPECT_EQ(record.deviceId, wmicValue(L"Win32_ComputerSystemProduct get UUID"));
}

TEST(RealWindowsSystem, StorageAndMemoryAreWhatOtherCallsReport) {
  char roots[26 * 4 + 1] = {};
  ASSERT_GT(::GetLogicalDriveStringsA(sizeof roots, roots), 0u);
  std::uint64_t storage = 0;
  for (const char* root = roots; *root != 0; root += std::strlen(root) + 1) {
    ULARGE_INTEGER available, total, free;
    if (::GetDriveTypeA(root) == DRIVE_FIXED && ::GetDiskFreeSpaceExA(root, &available, &total, &free)) {
      storage += total.QuadPart;
    }
  }
  // Wine may report no memory at all; both calls then agree on 0.
  PERFORMANCE_INFORMATION performance{};
  performance.cb = sizeof performance;
  ASSERT_TRUE(::GetPerformanceInfo(&performance, sizeof performance));
  DeviceRecord record;
  collectStorageSize(*makeLocalSystem(), record);
  collectMainMemory(*makeLocalSystem(), record);
  EXPECT_GT(storage, 0u);
  EXPECT_EQ(static_cast<std::uint64_t>(record.storageSize), storage);
  EXPECT_EQ(static_cast<std::uint64_t>(record.mainMemory),
            static_cast<std::uint64_t>(performance.PhysicalTotal) * performance.PageSize);
}

// The probes count on these calls failing rather than handing back less than
// was asked for.
TEST(WindowsOperations, TooSmallBuffersAreRefusedNotFilled) {
  auto system = makeLocalSystem();
  alignas(8) std::uint8_t small[16] = {};
  std::uint32_t size = sizeof small;
  EXPECT_EQ(system->getAdaptersAddresses(small, size), static_cast<std::uint32_t>(ERROR_BUFFER_OVERFLOW));
  RegistryKey key = nullptr;
  ASSERT_EQ(system->openMachineKey(u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", key), 0);
  size = 4;
  EXPECT_EQ(system->queryValue(key, u"ProcessorNameString", small, size), ERROR_MORE_DATA);
  system->closeKey(key);
}

}  // namespace
}  // namespace quorvia
