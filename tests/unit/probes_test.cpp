#include "device/probes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "fake_system.h"
#include "host/error_info.h"

// The adapter probe owns a heap block of 44,800 bytes. This program replaces
// the global allocation functions to see that block come and go; it starts
// as garbage, so the probe's own zero-filling shows.
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
// The nothrow forms too, or their blocks would come from one allocator and go
// back to another (std::stable_sort uses them).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }

namespace quorvia {
namespace {

using fake::FakeLocalSystem;
using fake::FakeWmiSystem;
using ::testing::ElementsAre;

template <class Probe>
std::int32_t raisedCode(Probe&& probe) {
  try {
    probe();
  } catch (const ErrorInfo& error) {
    return error.code;
  }
  return 0;
}

// ---- Host and user names ---------------------------------------------------

TEST(NameProbes, StoreTheSystemsTextUnchanged) {
  FakeLocalSystem system;
  system.computerName = u"  \u6771\u4EAC-PC ";
  system.userName = u" Jos\u00E9 \u5C71\u7530";
  DeviceRecord record;
  ProbeBuffer buffer;
  collectHostName(system, record, buffer);
  collectUserName(system, record, buffer);
  EXPECT_EQ(record.hostName, u"  \u6771\u4EAC-PC ");
  EXPECT_EQ(record.authorizedOsUser, u" Jos\u00E9 \u5C71\u7530");
}

TEST(NameProbes, OfferRoomFor259CharactersAndRaiseTheirCodesBeyond) {
  FakeLocalSystem system;
  system.computerName = std::u16string(259, u'h');
  system.userName = std::u16string(259, u'u');
  DeviceRecord record;
  ProbeBuffer buffer;
  collectHostName(system, record, buffer);
  collectUserName(system, record, buffer);
  EXPECT_EQ(record.hostName.size(), 259u);
  EXPECT_EQ(record.authorizedOsUser.size(), 259u);

  // Not the buffer's full 512 units: a longer name fails as on Windows.
  system.computerName = std::u16string(260, u'h');
  system.userName.reset();
  DeviceRecord failed;
  EXPECT_EQ(raisedCode([&] { collectHostName(system, failed, buffer); }), 101);
  EXPECT_EQ(raisedCode([&] { collectUserName(system, failed, buffer); }), 701);
  EXPECT_EQ(failed.hostName, u"");
  EXPECT_EQ(failed.authorizedOsUser, u"");
}

// ---- Adapter addresses -------------------------------------------------------

TEST(AdapterText, ListsHardwareAddressesInSystemOrder) {
  FakeLocalSystem system;
  system.adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, {}, {0x0A, 0x00, 0x27, 0x00, 0x00, 0x0B}};
  EXPECT_EQ(collectAdapterAddresses(system), u"[\"00:1A:2B:3C:4D:5E\", \"0A:00:27:00:00:0B\"]");
  system.adapters = {{}, {0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03}, {}};
  EXPECT_EQ(collectAdapterAddresses(system), u"[\"AB:CD:EF:01:02:03\"]");
  system.adapters = {{}, {}};
  EXPECT_EQ(collectAdapterAddresses(system), u"[]");
}

TEST(AdapterText, WritesEachByteAsTwoUpperCaseDigitsUpToEightBytes) {
  FakeLocalSystem system;
  system.adapters = {{0x00, 0x01, 0x0F, 0x10, 0x9A, 0xBC, 0xDE, 0xFF}, {0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(collectAdapterAddresses(system), u"[\"00:01:0F:10:9A:BC:DE:FF\", \"00:00:00:00:00:00\"]");
  // A length beyond the 8-byte address field is never read past it.
  system.adapters = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(collectAdapterAddresses(system), u"[\"01:02:03:04:05:06:07:08\"]");
}

TEST(AdapterBuffer, IsOneZeroFilledBlockOf44800BytesReleasedOnEveryPath) {
  for (std::uint32_t status : {0u, fake::kErrorBufferOverflow, fake::kErrorNoData, 31u}) {
    SCOPED_TRACE(status);
    FakeLocalSystem system;
    system.adapterStatus = status;
    const int before = adapterBlocksAllocated;
    EXPECT_EQ(raisedCode([&] { collectAdapterAddresses(system); }), status == 0 ? 0 : 201);
    ASSERT_EQ(system.adapterCalls.size(), 1u);  // never again with a larger buffer
    EXPECT_EQ(system.adapterCalls[0].size, 44800u);
    EXPECT_TRUE(system.adapterCalls[0].zeroFilled);
    EXPECT_EQ(adapterBlocksAllocated, before + 1);
    EXPECT_EQ(adapterBlock, nullptr);
  }
}

TEST(AdapterBuffer, AListThatDoesNotFitFailsRatherThanBeingCut) {
  FakeLocalSystem system;
  system.adapters.assign(44800 / FakeLocalSystem::kAdapterEntrySize, {2, 0, 0, 0, 0, 1});
  EXPECT_EQ(raisedCode([&] { collectAdapterAddresses(system); }), 0);
  system.adapters.push_back({2, 0, 0, 0, 0, 2});
  EXPECT_EQ(raisedCode([&] { collectAdapterAddresses(system); }), 201);
}

// ---- Processor name ----------------------------------------------------------

TEST(CpuName, ReadsTheProcessorValueAsStoredAndClosesTheKey) {
  FakeLocalSystem system;
  system.cpuValue = fake::utf16Bytes(std::u16string(u"  Intel(R) Xeon(R) Gold 6248R  \0junk", 36));
  DeviceRecord record;
  ProbeBuffer buffer;
  collectCpuName(system, record, buffer);
  EXPECT_EQ(record.cpuName, u"  Intel(R) Xeon(R) Gold 6248R  ");
  EXPECT_EQ(system.keyPath, u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0");
  EXPECT_EQ(system.valueName, u"ProcessorNameString");
  EXPECT_EQ(system.valueSizeGiven, 1024u);
  EXPECT_THAT(system.calls, ElementsAre("openMachineKey", "queryValue", "closeKey"));
  EXPECT_FALSE(system.wrongKeyUsed);
}

TEST(CpuName, FailuresRaise401WithNothingOpenOr402WithTheKeyClosed) {
  FakeLocalSystem system;
  DeviceRecord record;
  ProbeBuffer buffer;
  system.openStatus = fake::kErrorFileNotFound;
  EXPECT_EQ(raisedCode([&] { collectCpuName(system, record, buffer); }), 401);
  EXPECT_THAT(system.calls, ElementsAre("openMachineKey"));

  system.openStatus = 0;
  system.queryStatus = fake::kErrorFileNotFound;
  EXPECT_EQ(raisedCode([&] { collectCpuName(system, record, buffer); }), 402);
  // A value over 1024 bytes fails too rather than giving a truncated name.
  system.queryStatus = 0;
  system.cpuValue = fake::utf16Bytes(std::u16string(512, u'x') + u'\0');
  EXPECT_EQ(raisedCode([&] { collectCpuName(system, record, buffer); }), 402);
  EXPECT_EQ(system.keysOpened, 2);
  EXPECT_EQ(system.keysClosed, 2);
  EXPECT_FALSE(system.wrongKeyUsed);
  EXPECT_EQ(record.cpuName, u"");
}

TEST(CpuName, ValueWithoutTerminatorEndsAtTheReportedByteCount) {
  // The host-name probe leaves a longer text in the shared buffer first.
  FakeLocalSystem system;
  system.computerName = u"LEFTOVER-HOST-NAME-IN-THE-BUFFER";
  system.cpuValue = fake::utf16Bytes(u"Xeon");
  DeviceRecord record;
  ProbeBuffer buffer;
  collectHostName(system, record, buffer);
  collectCpuName(system, record, buffer);
  EXPECT_EQ(record.cpuName, u"Xeon");
  system.cpuValue.push_back('Z');  // an odd count ends at the last whole unit
  collectCpuName(system, record, buffer);
  EXPECT_EQ(record.cpuName, u"Xeon");

  // A value filling all 1024 bytes stays inside the buffer.
  struct {
    ProbeBuffer buffer;
    char16_t after[4] = {u'!', u'!', u'!', u'!'};
  } memory;
  system.cpuValue = fake::utf16Bytes(std::u16string(512, u'c'));
  collectCpuName(system, record, memory.buffer);
  EXPECT_EQ(record.cpuName, std::u16string(512, u'c'));
}

// ---- Memory and storage -------------------------------------------------------

TEST(MainMemory, StoresTheTotalPhysicalBytesOrRaises501) {
  FakeLocalSystem system;
  system.physicalMemory = std::uint64_t{68719476736};
  DeviceRecord record;
  collectMainMemory(system, record);
  EXPECT_EQ(record.mainMemory, 68719476736);
  system.physicalMemory.reset();
  DeviceRecord failed;
  EXPECT_EQ(raisedCode([&] { collectMainMemory(system, failed); }), 501);
  EXPECT_EQ(failed.mainMemory, 0);
}

TEST(StorageSize, SumsTheTotalsOfFixedDrivesOnly) {
  FakeLocalSystem system;
  system.drives = {{'A', {fake::kDriveRemovable, 1474560}},
                   {'C', {kDriveFixed, 256060514304}},
                   {'D', {kDriveFixed, 1000202039296}},
                   {'E', {fake::kDriveCdRom, 4700000000}},
                   {'Z', {fake::kDriveRemote, 999}}};
  DeviceRecord record;
  collectStorageSize(system, record);
  EXPECT_EQ(record.storageSize, 1256262553600);
  EXPECT_THAT(system.driveTypePaths, ElementsAre(u"A:\\", u"C:\\", u"D:\\", u"E:\\", u"Z:\\"));
  EXPECT_THAT(system.sizePaths, ElementsAre(u"C:\\", u"D:\\"));

  system.drives = {{'A', {fake::kDriveRemovable, 1474560}}, {'Q', {fake::kDriveRemote, 5}}};
  collectStorageSize(system, record);
  EXPECT_EQ(record.storageSize, 0);
  EXPECT_EQ(system.sizePaths.size(), 2u);
}

TEST(StorageSize, FirstSizeFailureRaises601AtOnce) {
  FakeLocalSystem system;
  system.drives = {{'C', {kDriveFixed, 100}}, {'D', {kDriveFixed, std::nullopt}}, {'E', {kDriveFixed, 300}}};
  DeviceRecord record;
  EXPECT_EQ(raisedCode([&] { collectStorageSize(system, record); }), 601);
  EXPECT_THAT(system.sizePaths, ElementsAre(u"C:\\", u"D:\\"));
  EXPECT_EQ(record.storageSize, 0);  // the partial sum is not kept
}

// ---- The whole run -------------------------------------------------------------

TEST(DeviceInfo, FillsEveryFieldInProbeOrder) {
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
  EXPECT_THAT(system.calls, ElementsAre("getComputerName", "getAdaptersAddresses", "openMachineKey", "queryValue",
                                        "closeKey", "getTotalPhysicalMemory", "getLogicalDrives", "getDriveType",
                                        "getDiskTotalBytes", "getDriveType", "getDiskTotalBytes", "getUserName"));
  EXPECT_TRUE(wmi.everyObjectReleasedOnce());
}

// Each failure alone, and the last local operation that has run when it is
// raised: nothing after the failing probe is called.
struct FailureCase {
  std::int32_t code;
  void (*arrange)(FakeLocalSystem&, FakeWmiSystem&);
  const char* lastLocalCall;
};

const FailureCase kFailureCases[] = {
    {101, [](FakeLocalSystem& s, FakeWmiSystem&) { s.computerName.reset(); }, "getComputerName"},
    {201, [](FakeLocalSystem& s, FakeWmiSystem&) { s.adapterStatus = 31; }, "getAdaptersAddresses"},
    {301, [](FakeLocalSystem&, FakeWmiSystem& w) { w.securityStatus = fake::kRpcETooLate; }, "getAdaptersAddresses"},
    {302, [](FakeLocalSystem&, FakeWmiSystem& w) { w.locatorStatus = fake::kWbemEFailed; }, "getAdaptersAddresses"},
    {303, [](FakeLocalSystem&, FakeWmiSystem& w) { w.connectStatus = fake::kWbemEFailed; }, "getAdaptersAddresses"},
    {304, [](FakeLocalSystem&, FakeWmiSystem& w) { w.blanketStatus = fake::kWbemEFailed; }, "getAdaptersAddresses"},
    {305, [](FakeLocalSystem&, FakeWmiSystem& w) { w.queries[u"SELECT * FROM Win32_ComputerSystem"].status = -1; },
     "getAdaptersAddresses"},
    {306, [](FakeLocalSystem&, FakeWmiSystem& w) { w.queries[u"SELECT * FROM Win32_OperatingSystem"].status = -1; },
     "getAdaptersAddresses"},
    {401, [](FakeLocalSystem& s, FakeWmiSystem&) { s.openStatus = 2; }, "openMachineKey"},
    {402, [](FakeLocalSystem& s, FakeWmiSystem&) { s.queryStatus = 2; }, "closeKey"},
    {501, [](FakeLocalSystem& s, FakeWmiSystem&) { s.physicalMemory.reset(); }, "getTotalPhysicalMemory"},
    {601, [](FakeLocalSystem& s, FakeWmiSystem&) { s.drives['C'].totalBytes.reset(); }, "getDiskTotalBytes"},
    {701, [](FakeLocalSystem& s, FakeWmiSystem&) { s.userName.reset(); }, "getUserName"},
};

TEST(DeviceInfo, EachFailureStopsTheRunWithItsCode) {
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.code);
    FakeLocalSystem system;
    FakeWmiSystem wmi;
    c.arrange(system, wmi);
    DeviceRecord record;
    ProbeBuffer buffer;
    EXPECT_EQ(raisedCode([&] { collectDeviceInfo(system, wmi, record, buffer); }), c.code);
    ASSERT_FALSE(system.calls.empty());
    EXPECT_EQ(system.calls.back(), c.lastLocalCall);
    EXPECT_EQ(system.keysOpened, system.keysClosed);
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
    EXPECT_EQ(wmi.log.empty(), c.code < 300);
  }
}

TEST(DeviceInfo, WhenSeveralProbesWouldFailTheEarliestDecides) {
  // Every failure from the n-th case on is arranged; the n-th code wins.
  for (std::size_t first = 0; first < std::size(kFailureCases); ++first) {
    SCOPED_TRACE(kFailureCases[first].code);
    FakeLocalSystem system;
    FakeWmiSystem wmi;
    for (std::size_t i = first; i < std::size(kFailureCases); ++i) kFailureCases[i].arrange(system, wmi);
    DeviceRecord record;
    ProbeBuffer buffer;
    EXPECT_EQ(raisedCode([&] { collectDeviceInfo(system, wmi, record, buffer); }), kFailureCases[first].code);
  }
}

}  // namespace
}  // namespace quorvia
