// The Windows set-up and providers on this machine (under Wine in the cross
// build), checked against other ways of asking the system.
#include <windows.h>  // first: the other Windows headers rely on it

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/system_dll_win.h"
#include "device/probes.h"
#include "host/platform_session.h"

namespace quorvia {
namespace {

// A planted DLL beside the program is never loaded: only System32 is searched,
// also before a session makes that the default (this test makes the first).
TEST(PlatformSession, DllsBesideTheProgramAreNotLoaded) {
  EXPECT_EQ(systemDllFunction(L"quorvia_planted.dll", "quorviaPlanted"), nullptr);
  EXPECT_NE(systemDllFunction(L"bcrypt.dll", "BCryptGenRandom"), nullptr);
  PlatformSession session;
  EXPECT_EQ(LoadLibraryW(L"quorvia_planted.dll"), nullptr);
  // It is there when asked for by name.
  EXPECT_NE(LoadLibraryExW(L"quorvia_planted.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR), nullptr);
}

HRESULT apartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  const HRESULT status = CoGetApartmentType(&type, &qualifier);
  return status == S_OK && type != APTTYPE_MTA ? E_FAIL : status;
}

// No dialog may wait for a click nobody sees; text mode would turn a 0x0A
// length byte into 0D 0A and end input at 0x1A; COM is joined multithreaded
// and left again, and a thread already in the other apartment is a failure.
TEST(PlatformSession, SetsQuietErrorModeBinaryStreamsAndJoinsComOnce) {
  for (const bool singleThreaded : {false, true}) {
    _setmode(_fileno(stdin), _O_TEXT);
    _setmode(_fileno(stdout), _O_TEXT);
    SetErrorMode(SEM_NOGPFAULTERRORBOX);  // as if inherited from the browser, which the session must keep
    if (singleThreaded) {
      ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    {
      PlatformSession session;
      EXPECT_EQ(GetErrorMode(),
                static_cast<UINT>(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
      EXPECT_EQ(_setmode(_fileno(stdin), _O_BINARY), _O_BINARY);  // what the mode was
      EXPECT_EQ(_setmode(_fileno(stdout), _O_BINARY), _O_BINARY);
      EXPECT_EQ(session.ready(), !singleThreaded);
      EXPECT_EQ(apartment(), singleThreaded ? E_FAIL : S_OK);
    }
    if (singleThreaded) CoUninitialize();
    EXPECT_EQ(apartment(), CO_E_NOTINITIALIZED) << singleThreaded;
  }
  _setmode(_fileno(stdout), _O_TEXT);
}

// The value line of `wmic path CLASS get PROPERTY` (UTF-16, after a header
// line, padded with spaces); empty when wmic cannot be run.
std::u16string wmicValue(const std::wstring& query) {
  FILE* pipe = ::_wpopen((L"wmic path " + query).c_str(), L"rb");
  std::u16string text;
  for (char16_t unit; pipe != nullptr && std::fread(&unit, 2, 1, pipe) == 1;) text += unit;
  if (pipe == nullptr || ::_pclose(pipe) != 0 || text.find(u"\r\n") == std::u16string::npos) return u"";
  text = text.substr(text.find(u"\r\n") + 2);
  return text.substr(0, text.substr(0, text.find(u"\r\n")).find_last_not_of(u' ') + 1);
}

// Keeps the bytes of every block the COM task allocator frees; BSTRs reach
// it only with the automation string cache off (SetOaNoCache, oleaut32).
extern "C" void WINAPI SetOaNoCache();
struct FreedBlocks final : IMallocSpy {
  std::string bytes;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_IMallocSpy ? this : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override {
    IMalloc* allocator = nullptr;
    const SIZE_T size = SUCCEEDED(::CoGetMalloc(1, &allocator)) ? allocator->GetSize(block) : SIZE_T(-1);
    if (size != SIZE_T(-1)) bytes.append(static_cast<const char*>(block), size);
    return block;
  }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* block) override { return block; }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** newBlock, BOOL) override {
    return *newBlock = block, size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return block; }
  void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int result) override { return result; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}
  bool hold(const std::u16string& text) const {
    return bytes.find(std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2)) != std::string::npos;
  }
};

TEST(RealWindowsSystem, ManagementValuesAreWhatTheServiceTellsOtherClients) {
  // Call security can be set once per process; this is the only test that does.
  ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  DeviceRecord record;
  FreedBlocks freed;
  SetOaNoCache();
  ASSERT_EQ(::CoRegisterMallocSpy(&freed), S_OK);
  EXPECT_NO_THROW(record.collectWmiInfo(*makeWmiSystem()));
  // The values' BSTRs are wiped before they are freed; one freed unwiped is seen.
  EXPECT_FALSE(freed.hold(record.osName)) << "unwiped";
  ::SysFreeString(::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(record.osName.data()), record.osName.size()));
  EXPECT_TRUE(freed.hold(record.osName)) << "unseen";
  ::CoRevokeMallocSpy();
  ::CoUninitialize();
  if (wmicValue(L"Win32_OperatingSystem get Version").empty()) GTEST_SKIP() << "wmic is not available";
  EXPECT_EQ(record.venderName, wmicValue(L"Win32_ComputerSystem get Manufacturer"));
  EXPECT_EQ(record.deviceName, wmicValue(L"Win32_ComputerSystem get Model"));
  EXPECT_EQ(record.osName, wmicValue(L"Win32_OperatingSystem get Caption"));
  EXPECT_EQ(record.osVersion, wmicValue(L"Win32_OperatingSystem get Version"));
  EXPECT_EQ(record.deviceId, wmicValue(L"Win32_ComputerSystemProduct get UUID"));
}

TEST(RealWindowsSystem, StorageAndMemoryAreWhatOtherCallsReportAndSmallBuffersAreRefused) {
  char roots[26 * 4 + 1] = {};
  ASSERT_GT(::GetLogicalDriveStringsA(sizeof roots, roots), 0u);
  std::uint64_t storage = 0;
  for (const char* root = roots; *root != 0; root += std::strlen(root) + 1) {
    ULARGE_INTEGER total;
    if (::GetDriveTypeA(root) == DRIVE_FIXED && ::GetDiskFreeSpaceExA(root, nullptr, &total, nullptr))
      storage += total.QuadPart;
  }
  // Wine may report no memory at all; both calls then agree on 0.
  PERFORMANCE_INFORMATION performance{};
  performance.cb = sizeof performance;
  ASSERT_TRUE(::GetPerformanceInfo(&performance, sizeof performance));
  auto system = makeLocalSystem();
  DeviceRecord record;
  collectStorageSize(*system, record);
  collectMainMemory(*system, record);
  EXPECT_GT(storage, 0u);
  EXPECT_EQ(static_cast<std::uint64_t>(record.storageSize), storage);
  EXPECT_EQ(static_cast<std::uint64_t>(record.mainMemory),
            static_cast<std::uint64_t>(performance.PhysicalTotal) * performance.PageSize);
  // Calls fail rather than hand back less than was asked for.
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
