#include "device/probes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "fake_system.h"
#include "host/error_info.h"

// The adapter probe owns a heap block of 44,800 bytes. This program replaces
// the global allocation functions to see that block come and go; it starts
// as garbage, so the probe's own zero-filling shows. The nothrow forms are
// replaced too, or their blocks would come from one allocator and go back to
// another (std::stable_sort uses them).
namespace {
void* adapterBlock = nullptr;
int adapterBlocksAllocated = 0;

void* allocate(std::size_t size) {
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  if (size == 44800) {
    std::memset(p, 0xCD, size);
    adapterBlock = p;
    ++adapterBlocksAllocated;
  }
  return p;
}
void deallocate(void* p) noexcept {
  if (p != nullptr && p == adapterBlock) adapterBlock = nullptr;
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }

namespace quorvia {
namespace {

using fake::FakeLocalSystem;
using fake::FakeWmiSystem;
using Bytes = std::vector<std::uint8_t>;

template <class Probe>
std::int32_t raisedCode(Probe&& probe) {
  try {
    probe();
  } catch (const ErrorInfo& error) {
    return error.code;
  }
  return 0;
}

TEST(NameProbes, StoreTheTextUnchangedUpTo259UnitsOrRaiseTheirCode) {
  const struct {
    void (*collect)(LocalSystem&, DeviceRecord&, ProbeBuffer&);
    std::optional<std::u16string> FakeLocalSystem::*name;
    std::u16string DeviceRecord::*field;
    std::int32_t code;
  } probes[] = {{collectHostName, &FakeLocalSystem::computerName, &DeviceRecord::hostName, 101},
                {collectUserName, &FakeLocalSystem::userName, &DeviceRecord::authorizedOsUser, 701}};
  const std::optional<std::u16string> names[] = {u"  \u6771\u4EAC Jos\u00E9 ", std::u16string(259, u'n'),
                                                 std::u16string(260, u'n'), std::nullopt};
  for (const auto& probe : probes) {
    for (const auto& name : names) {
      SCOPED_TRACE(::testing::Message() << probe.code << ", name of " << (name ? name->size() : 0) << " units");
      FakeLocalSystem system;
      system.*probe.name = name;
      DeviceRecord record;
      ProbeBuffer buffer;
      const bool fits = name && name->size() < 260;  // the Windows limit, not the buffer's 512 units
      EXPECT_EQ(raisedCode([&] { probe.collect(system, record, buffer); }), fits ? 0 : probe.code);
      EXPECT_EQ(record.*probe.field, fits ? *name : u"");
    }
  }
}

// The list is asked for into one zero-filled heap block of 44,800 bytes that
// is released on every path (a list that needs more: adapter_growth_test).
TEST(Adapters, ListEachHardwareAddressAsUpperCaseHexPairsFromOneBlock) {
  const struct {
    std::vector<Bytes> adapters;
    std::uint32_t status;
    std::u16string text;
  } cases[] = {
      {{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, {}, {0x00, 0x01, 0x0F, 0x10, 0x9A, 0xBC, 0xDE, 0xFF}},
       0,
       u"[\"00:1A:2B:3C:4D:5E\", \"00:01:0F:10:9A:BC:DE:FF\"]"},
      {{{}, {0, 0, 0, 0, 0, 0}, {}}, 0, u"[\"00:00:00:00:00:00\"]"},
      {{{}, {}}, 0, u"[]"},
      // A length beyond the 8-byte address field is never read past it.
      {{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}, 0, u"[\"01:02:03:04:05:06:07:08\"]"},
      {{}, fake::kErrorBufferOverflow, u""},
      {{}, 31, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    FakeLocalSystem system;
    system.adapters = c.adapters;
    system.adapterStatus = c.status;
    const int before = adapterBlocksAllocated;
    std::u16string text;
    EXPECT_EQ(raisedCode([&] { text = collectAdapterAddresses(system); }), c.status == 0 ? 0 : 201);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(system.adapterBufferSizes, std::vector<std::uint32_t>{44800});
    EXPECT_TRUE(system.adapterBufferZeroFilled);
    EXPECT_EQ(adapterBlocksAllocated, before + 1);
    EXPECT_EQ(adapterBlock, nullptr);
  }
}

TEST(CpuName, ReadsTheValueUpToItsEndAndClosesTheKeyOnEveryPath) {
  const Bytes tooLong = fake::utf16Bytes(std::u16string(512, u'x') + u'\0');  // 1,026 bytes
  Bytes oddCount = fake::utf16Bytes(u"Xeon");
  oddCount.push_back('Z');
  const struct {
    const char* what;
    long openStatus, queryStatus;
    Bytes value;
    std::int32_t code;
    std::u16string name;
  } cases[] = {
      {"as stored, up to its NUL", 0, 0, fake::utf16Bytes(std::u16string(u"  Xeon(R) Gold  \0junk", 21)), 0,
       u"  Xeon(R) Gold  "},
      {"no NUL: ends at the byte count, not at the last probe's text", 0, 0, fake::utf16Bytes(u"Xeon"), 0, u"Xeon"},
      {"odd byte count: the last whole unit ends it", 0, 0, oddCount, 0, u"Xeon"},
      {"all 1,024 bytes without a NUL", 0, 0, fake::utf16Bytes(std::u16string(512, u'c')), 0,
       std::u16string(512, u'c')},
      {"larger than the buffer", 0, 0, tooLong, 402, u""},
      {"value missing", 0, fake::kErrorFileNotFound, {}, 402, u""},
      {"key missing", fake::kErrorFileNotFound, 0, {}, 401, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLocalSystem system;
    system.computerName = u"LEFTOVER-HOST-NAME-IN-THE-BUFFER";
    system.openStatus = c.openStatus;
    system.queryStatus = c.queryStatus;
    system.cpuValue = c.value;
    DeviceRecord record;
    struct {
      ProbeBuffer buffer;
      char16_t after[4] = {u'!', u'!', u'!', u'!'};
    } memory;
    collectHostName(system, record, memory.buffer);
    EXPECT_EQ(raisedCode([&] { collectCpuName(system, record, memory.buffer); }), c.code);
    EXPECT_EQ(record.cpuName, c.name);
    EXPECT_EQ(system.keysOpened, c.code == 401 ? 0 : 1);
    EXPECT_EQ(system.keysClosed, system.keysOpened);
    EXPECT_FALSE(system.wrongKeyUsed);
  }
}

TEST(StorageSize, SumsReadableFixedDrivesAndStopsAtTheFirstOtherSizeFailure) {
  using fake::kDriveCdRom, fake::kDriveRemote, fake::kDriveRemovable;
  const struct {
    std::map<char, FakeLocalSystem::Drive> drives;
    std::int32_t code;
    std::int64_t size;
    std::ptrdiff_t sizeQueries;
  } cases[] = {
      {{{'A', {kDriveRemovable, 1474560}},
        {'C', {kDriveFixed, 256060514304}},
        {'D', {kDriveFixed, 1000202039296}},
        {'E', {kDriveCdRom, 4700000000}},
        {'Z', {kDriveRemote, 999}}},
       0,
       1256262553600,
       2},
      {{{'A', {kDriveRemovable, 1474560}}, {'Q', {kDriveRemote, 5}}}, 0, 0, 0},
      {{{'C', {kDriveFixed, 100}}, {'D', {kDriveFixed, std::nullopt}}, {'E', {kDriveFixed, 300}}}, 601, 0, 2},
      // Locked (BitLocker), not ready, and denied drives are left out; the rest count.
      {{{'C', {kDriveFixed, 100}},
        {'D', {kDriveFixed, std::nullopt, 0x80310000}},
        {'E', {kDriveFixed, std::nullopt, 21}},
        {'F', {kDriveFixed, std::nullopt, 5}},
        {'G', {kDriveFixed, 300}}},
       0,
       400,
       5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    FakeLocalSystem system;
    system.drives = c.drives;
    DeviceRecord record;
    EXPECT_EQ(raisedCode([&] { collectStorageSize(system, record); }), c.code);
    EXPECT_EQ(record.storageSize, c.size);
    EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "getDiskTotalBytes"), c.sizeQueries);
  }
}

TEST(DeviceInfo, FillsEveryField) {
  FakeLocalSystem system;
  FakeWmiSystem wmi;
  system.drives = {{'C', {kDriveFixed, 1000}}, {'D', {kDriveFixed, 24}}};
  DeviceRecord record;
  ProbeBuffer buffer;
  collectDeviceInfo(system, wmi, record, buffer);
  EXPECT_EQ(record.hostName, u"WORKSTATION-7");
  EXPECT_EQ(record.macAddress, u"[\"00:1A:2B:3C:4D:5E\"]");
  EXPECT_EQ(record.venderName, u"Contoso Ltd.");
  EXPECT_EQ(record.deviceName, u"Model 9");
  EXPECT_EQ(record.osName, u"Microsoft Windows 11 Pro");
  EXPECT_EQ(record.osVersion, u"10.0.22631");
  EXPECT_EQ(record.deviceId, u"4C4C4544-0042-3510-8052-B4C04F564433");
  EXPECT_EQ(record.cpuName, u"Fake CPU @ 3.00GHz");
  EXPECT_EQ(record.mainMemory, 17179869184);
  EXPECT_EQ(record.storageSize, 1024);
  EXPECT_EQ(record.authorizedOsUser, u"alice");
  EXPECT_TRUE(wmi.everyObjectReleasedOnce());
}

// In probe order. That no probe runs after a failure is checked through the
// whole host in fault_injection_test.cpp.
const struct {
  std::int32_t code;
  void (*arrange)(FakeLocalSystem&, FakeWmiSystem&);
} kFailures[] = {
    {101, [](FakeLocalSystem& s, FakeWmiSystem&) { s.computerName.reset(); }},
    {201, [](FakeLocalSystem& s, FakeWmiSystem&) { s.adapterStatus = 31; }},
    {301, [](FakeLocalSystem&, FakeWmiSystem& w) { w.securityStatus = fake::kRpcETooLate; }},
    {302, [](FakeLocalSystem&, FakeWmiSystem& w) { w.locatorStatus = fake::kWbemEFailed; }},
    {303, [](FakeLocalSystem&, FakeWmiSystem& w) { w.connectStatus = fake::kWbemEFailed; }},
    {304, [](FakeLocalSystem&, FakeWmiSystem& w) { w.blanketStatus = fake::kWbemEFailed; }},
    {305, [](FakeLocalSystem&, FakeWmiSystem& w) { w.queries[u"SELECT * FROM Win32_ComputerSystem"].status = -1; }},
    {306, [](FakeLocalSystem&, FakeWmiSystem& w) { w.queries[u"SELECT * FROM Win32_OperatingSystem"].status = -1; }},
    {401, [](FakeLocalSystem& s, FakeWmiSystem&) { s.openStatus = 2; }},
    {402, [](FakeLocalSystem& s, FakeWmiSystem&) { s.queryStatus = 2; }},
    {501, [](FakeLocalSystem& s, FakeWmiSystem&) { s.physicalMemory.reset(); }},
    {601, [](FakeLocalSystem& s, FakeWmiSystem&) { s.drives['C'].totalBytes.reset(); }},
    {701, [](FakeLocalSystem& s, FakeWmiSystem&) { s.userName.reset(); }},
};

TEST(DeviceInfo, TheEarliestFailingProbeDecidesTheCodeAndEverythingIsReleased) {
  // Every failure from the n-th on is arranged; the n-th code wins.
  for (std::size_t first = 0; first < std::size(kFailures); ++first) {
    SCOPED_TRACE(kFailures[first].code);
    FakeLocalSystem system;
    FakeWmiSystem wmi;
    for (std::size_t i = first; i < std::size(kFailures); ++i) kFailures[i].arrange(system, wmi);
    DeviceRecord record;
    ProbeBuffer buffer;
    EXPECT_EQ(raisedCode([&] { collectDeviceInfo(system, wmi, record, buffer); }), kFailures[first].code);
    EXPECT_EQ(system.keysOpened, system.keysClosed);
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
  }
}

}  // namespace
}  // namespace quorvia
