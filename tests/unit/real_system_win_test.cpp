// The Windows providers on this machine (under Wine in the cross build),
// checked against other ways of asking the system: the ANSI calls, the
// interface table, the performance counters, CPUID and the wmic tool.

// winsock2.h must come before windows.h and iphlpapi.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on
#include <cpuid.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "device/probes.h"
#include "host/error_info.h"
#include "host/text.h"

namespace quorvia {
namespace {

bool underWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::u16string widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string trimmed(std::u16string text) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  while (!text.empty() && blank(text.front())) text.erase(text.begin());
  return text;
}

// The value wmic prints for `wmic path <class> get <property>`: UTF-16 text,
// a header line, then the value padded with spaces. Nullopt when wmic cannot
// be run.
std::optional<std::u16string> wmicValue(const std::wstring& className, const std::wstring& property) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return std::nullopt;
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  std::wstring command = L"wmic path " + className + L" get " + property;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &process);
  ::CloseHandle(writeEnd);
  std::string bytes;
  if (started) {
    char chunk[4096];
    DWORD n = 0;
    while (::ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0) bytes.append(chunk, n);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
  }
  ::CloseHandle(readEnd);
  if (!started) return std::nullopt;

  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  const std::size_t header = text.find(u"\r\n");
  if (header == std::u16string::npos) return std::nullopt;
  std::u16string value = text.substr(header + 2);
  value = value.substr(0, value.find(u"\r\n"));
  return trimmed(value);
}

class RealWindowsSystem : public ::testing::Test {
 protected:
  // CoInitializeSecurity succeeds once per process, so the whole run happens
  // once for the suite.
  static void SetUpTestSuite() {
    comStatus_ = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    system_ = makeLocalSystem().release();
    wmi_ = makeWmiSystem().release();
    record_ = new DeviceRecord;
    ProbeBuffer buffer;
    try {
      collectDeviceInfo(*system_, *wmi_, *record_, buffer);
    } catch (const ErrorInfo& error) {
      failure_ = error.code;
    }
  }
  static void TearDownTestSuite() {
    delete record_;
    delete wmi_;
    delete system_;
    if (SUCCEEDED(comStatus_)) ::CoUninitialize();
  }

  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(comStatus_));
    ASSERT_EQ(failure_, 0) << "collectDeviceInfo raised " << failure_;
  }

  static const DeviceRecord& record() { return *record_; }
  static WmiSystem& wmi() { return *wmi_; }

 private:
  static inline HRESULT comStatus_ = E_FAIL;
  static inline LocalSystem* system_ = nullptr;
  static inline WmiSystem* wmi_ = nullptr;
  static inline DeviceRecord* record_ = nullptr;
  static inline std::int32_t failure_ = 0;
};

TEST_F(RealWindowsSystem, NamesAreTheOnesTheAnsiCallsGive) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  ASSERT_TRUE(::GetComputerNameA(name, &size));
  EXPECT_EQ(record().hostName, widen(name));
  char user[512];
  size = sizeof user;
  ASSERT_TRUE(::GetUserNameA(user, &size));
  EXPECT_EQ(record().authorizedOsUser, widen(user));
}

TEST_F(RealWindowsSystem, AdapterTextListsInterfacesWithAHardwareAddress) {
  const std::string text = toUtf8(record().macAddress);
  static const std::regex wellFormed(
      R"re(\[("[0-9A-F]{2}(:[0-9A-F]{2}){0,7}"(, "[0-9A-F]{2}(:[0-9A-F]{2}){0,7}")*)?\])re");
  ASSERT_TRUE(std::regex_match(text, wellFormed)) << text;

  std::vector<std::string> listed;
  static const std::regex element(R"re("([0-9A-F:]+)")re");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), element); it != std::sregex_iterator(); ++it) {
    listed.push_back((*it)[1]);
  }

  ULONG size = 0;
  ::GetIfTable(nullptr, &size, FALSE);
  std::vector<char> buffer(size);
  auto* table = reinterpret_cast<MIB_IFTABLE*>(buffer.data());
  ASSERT_EQ(::GetIfTable(table, &size, TRUE), static_cast<DWORD>(NO_ERROR));
  std::vector<std::string> interfaces;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_IFROW& row = table->table[i];
    if (row.dwPhysAddrLen == 0 || row.dwType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    std::string address;
    for (DWORD b = 0; b < row.dwPhysAddrLen && b < 8; ++b) {
      char digits[4];
      std::snprintf(digits, sizeof digits, b == 0 ? "%02X" : ":%02X", row.bPhysAddr[b]);
      address += digits;
    }
    interfaces.push_back(address);
  }
  std::sort(listed.begin(), listed.end());
  std::sort(interfaces.begin(), interfaces.end());
  // Windows' interface table also holds filter and miniport interfaces that
  // are no adapters; Wine's holds exactly the adapters.
  if (underWine()) {
    EXPECT_EQ(listed, interfaces);
  } else {
    EXPECT_TRUE(std::includes(interfaces.begin(), interfaces.end(), listed.begin(), listed.end()));
  }
}

TEST_F(RealWindowsSystem, ManagementValuesAreWhatTheServiceTellsOtherClients) {
  const struct {
    const wchar_t* className;
    const wchar_t* property;
    const std::u16string& field;
  } values[] = {
      {L"Win32_ComputerSystem", L"Manufacturer", record().venderName},
      {L"Win32_ComputerSystem", L"Model", record().deviceName},
      {L"Win32_OperatingSystem", L"Caption", record().osName},
      {L"Win32_OperatingSystem", L"Version", record().osVersion},
      {L"Win32_ComputerSystemProduct", L"UUID", record().deviceId},
  };
  for (const auto& v : values) {
    SCOPED_TRACE(toUtf8(std::u16string(reinterpret_cast<const char16_t*>(v.property))));
    const std::optional<std::u16string> seen = wmicValue(v.className, v.property);
    if (!seen) GTEST_SKIP() << "wmic is not available";
    EXPECT_EQ(trimmed(v.field), *seen);
    EXPECT_FALSE(v.field.empty());
  }
}

TEST_F(RealWindowsSystem, SecurityCanBeSetOnlyOncePerProcess) {
  // Wine 8's CoInitializeSecurity is a stub that accepts every call.
  if (underWine()) GTEST_SKIP() << "Wine does not keep the process's call security";
  DeviceRecord again;
  std::int32_t code = 0;
  try {
    again.collectWmiInfo(wmi());
  } catch (const ErrorInfo& error) {
    code = error.code;
  }
  EXPECT_EQ(code, 301);
}

TEST_F(RealWindowsSystem, CpuNameIsTheProcessorsBrandString) {
  unsigned regs[12] = {};
  for (unsigned i = 0; i < 3; ++i) {
    ASSERT_TRUE(__get_cpuid(0x80000002 + i, &regs[4 * i], &regs[4 * i + 1], &regs[4 * i + 2], &regs[4 * i + 3]));
  }
  char brand[49] = {};
  std::memcpy(brand, regs, 48);
  EXPECT_EQ(trimmed(record().cpuName), trimmed(widen(brand)));
}

TEST_F(RealWindowsSystem, MemoryIsThePhysicalPageTotal) {
  // Wine may report no memory at all; both calls then agree on 0.
  PERFORMANCE_INFORMATION performance{};
  performance.cb = sizeof performance;
  ASSERT_TRUE(::GetPerformanceInfo(&performance, sizeof performance));
  EXPECT_EQ(static_cast<std::uint64_t>(record().mainMemory),
            static_cast<std::uint64_t>(performance.PhysicalTotal) * performance.PageSize);
}

TEST_F(RealWindowsSystem, StorageIsTheSumOfTheFixedDrives) {
  char roots[26 * 4 + 1] = {};
  ASSERT_GT(::GetLogicalDriveStringsA(sizeof roots, roots), 0u);
  std::uint64_t expected = 0;
  std::string fixed;
  for (const char* root = roots; *root != 0; root += std::strlen(root) + 1) {
    if (::GetDriveTypeA(root) != DRIVE_FIXED) continue;
    ULARGE_INTEGER available, total, free;
    ASSERT_TRUE(::GetDiskFreeSpaceExA(root, &available, &total, &free)) << root;
    expected += total.QuadPart;
    fixed += root[0];
  }
  EXPECT_EQ(static_cast<std::uint64_t>(record().storageSize), expected);
  EXPECT_NE(fixed.find('C'), std::string::npos);
  if (underWine()) {
    EXPECT_NE(fixed.find('Z'), std::string::npos) << "Wine maps / to Z:";
  }
}

// ---- What the Windows operations answer outside the probes' normal path. ----

TEST(WindowsOperations, TooSmallBuffersAreRefusedNotFilled) {
  auto system = makeLocalSystem();
  alignas(8) std::uint8_t small[16] = {};
  std::uint32_t size = sizeof small;
  EXPECT_EQ(system->getAdaptersAddresses(small, size), static_cast<std::uint32_t>(ERROR_BUFFER_OVERFLOW));
  EXPECT_GT(size, sizeof small);

  RegistryKey key = nullptr;
  ASSERT_EQ(system->openMachineKey(u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", key), 0);
  std::uint8_t value[4];
  std::uint32_t valueSize = sizeof value;
  EXPECT_EQ(system->queryValue(key, u"ProcessorNameString", value, valueSize), ERROR_MORE_DATA);
  system->closeKey(key);

  RegistryKey missing = nullptr;
  EXPECT_NE(system->openMachineKey(u"HARDWARE\\DESCRIPTION\\System\\NoSuchKey", missing), 0);
}

}  // namespace
}  // namespace quorvia
