// The Windows providers on this machine (under Wine in the cross build) where
// the process tests do not reach, checked against other ways of asking the
// system: the wmic tool, the ANSI drive calls and the performance counters.
// The process tests already hold the names, the processor and each address
// against this machine.

#include <windows.h>
// clang-format off
#include <objbase.h>
#include <psapi.h>
// clang-format on
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "device/probes.h"
#include "host/error_info.h"
#include "host/text.h"

namespace quorvia {
namespace {

std::u16string trimmed(std::u16string text) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  while (!text.empty() && blank(text.front())) text.erase(text.begin());
  return text;
}

// What `wmic path <class> get <property>` prints: UTF-16 text, a header line,
// then the value padded with spaces. Nullopt when wmic cannot be run.
std::optional<std::u16string> wmicValue(const std::wstring& className, const std::wstring& property) {
  FILE* pipe = ::_wpopen((L"wmic path " + className + L" get " + property).c_str(), L"rb");
  if (pipe == nullptr) return std::nullopt;
  std::string bytes;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) bytes.append(chunk, n);
  if (::_pclose(pipe) != 0) return std::nullopt;
  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  const std::size_t start = text.find(u"\r\n");
  if (start == std::u16string::npos) return std::nullopt;
  return trimmed(text.substr(start + 2, text.find(u"\r\n", start + 2) - start - 2));
}

TEST(RealWindowsSystem, ManagementValuesAreWhatTheServiceTellsOtherClients) {
  // Call security can be set once per process; this is the only test that does.
  ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  DeviceRecord record;
  try {
    record.collectWmiInfo(*makeWmiSystem());
  } catch (const ErrorInfo& error) {
    ADD_FAILURE() << "collectWmiInfo raised " << error.code;
  }
  ::CoUninitialize();
  const struct {
    const wchar_t* className;
    const wchar_t* property;
    const std::u16string& field;
  } values[] = {
      {L"Win32_ComputerSystem", L"Manufacturer", record.venderName},
      {L"Win32_ComputerSystem", L"Model", record.deviceName},
      {L"Win32_OperatingSystem", L"Caption", record.osName},
      {L"Win32_OperatingSystem", L"Version", record.osVersion},
      {L"Win32_ComputerSystemProduct", L"UUID", record.deviceId},
  };
  for (const auto& v : values) {
    SCOPED_TRACE(toUtf8(std::u16string(reinterpret_cast<const char16_t*>(v.property))));
    const std::optional<std::u16string> seen = wmicValue(v.className, v.property);
    if (!seen) GTEST_SKIP() << "wmic is not available";
    EXPECT_FALSE(v.field.empty());
    EXPECT_EQ(trimmed(v.field), *seen);
  }
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
