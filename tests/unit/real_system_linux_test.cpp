// The Linux providers on this machine, checked against readings taken here
// by other means: other files, the shell and the usual command-line tools.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/probes.h"
#include "host/error_info.h"
#include "host/text.h"

namespace quorvia {
namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  ::pclose(pipe);
  return out;
}

std::string chomp(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

class RealLinuxSystem : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto system = makeLocalSystem();
    auto wmi = makeWmiSystem();
    record_ = new DeviceRecord;
    ProbeBuffer buffer;
    try {
      collectDeviceInfo(*system, *wmi, *record_, buffer);
    } catch (const ErrorInfo& error) {
      failure_ = error.code;
    }
  }
  static void TearDownTestSuite() { delete record_; }

  void SetUp() override { ASSERT_EQ(failure_, 0) << "collectDeviceInfo raised " << failure_; }

  static const DeviceRecord& record() { return *record_; }

 private:
  static inline DeviceRecord* record_ = nullptr;
  static inline std::int32_t failure_ = 0;
};

TEST_F(RealLinuxSystem, HostNameIsTheKernelsHostName) {
  EXPECT_EQ(toUtf8(record().hostName), chomp(fileText("/proc/sys/kernel/hostname")));
}

TEST_F(RealLinuxSystem, AdaptersAreTheInterfacesWithAHardwareAddressByIndex) {
  std::vector<std::pair<int, std::string>> interfaces;
  DIR* dir = ::opendir("/sys/class/net");
  ASSERT_NE(dir, nullptr);
  while (const dirent* e = ::readdir(dir)) {
    const std::string base = std::string("/sys/class/net/") + e->d_name;
    if (e->d_name[0] == '.') continue;
    const std::string type = chomp(fileText(base + "/type"));
    const std::string address = chomp(fileText(base + "/address"));
    if (type == "772" || address.empty() || std::atoi(fileText(base + "/addr_len").c_str()) == 0) continue;
    interfaces.emplace_back(std::atoi(fileText(base + "/ifindex").c_str()), upper(address.substr(0, 23)));
  }
  ::closedir(dir);
  std::sort(interfaces.begin(), interfaces.end());
  std::string expected = "[";
  for (const auto& [index, address] : interfaces) {
    if (expected.size() > 1) expected += ", ";
    expected += "\"" + address + "\"";
  }
  expected += "]";
  EXPECT_EQ(toUtf8(record().macAddress), expected);
}

TEST_F(RealLinuxSystem, ManagementDataComesFromTheSystemsOwnFiles) {
  // Sourcing os-release applies the shell's quoting rules the file is written for.
  std::string osRelease = "/etc/os-release";
  if (::access(osRelease.c_str(), R_OK) != 0) osRelease = "/usr/lib/os-release";
  EXPECT_EQ(toUtf8(record().osName), run(". " + osRelease + " && printf %s \"$PRETTY_NAME\""));
  EXPECT_EQ(toUtf8(record().osVersion), chomp(run("uname -r")));

  EXPECT_EQ(toUtf8(record().venderName), chomp(run("cat /sys/class/dmi/id/sys_vendor 2>/dev/null")));
  std::string model = chomp(run("cat /sys/class/dmi/id/product_name 2>/dev/null"));
  if (model.empty()) model = run("tr -d '\\0' 2>/dev/null < /proc/device-tree/model");
  EXPECT_EQ(toUtf8(record().deviceName), model);

  std::string id = chomp(run("tr a-f A-F 2>/dev/null < /sys/class/dmi/id/product_uuid"));
  if (id.empty()) {
    id =
        chomp(run("{ cat /etc/machine-id 2>/dev/null || cat /var/lib/dbus/machine-id; } | tr a-f A-F | "
                  "sed -E 's/^(.{8})(.{4})(.{4})(.{4})(.{12})$/\\1-\\2-\\3-\\4-\\5/'"));
  }
  EXPECT_EQ(toUtf8(record().deviceId), id);
}

TEST_F(RealLinuxSystem, CpuNameIsTheFirstModelNameOfCpuInfo) {
  std::string name = run("sed -n '/^model name[[:space:]]*:/{s/^[^:]*: //p;q}' /proc/cpuinfo");
  if (name.empty()) {
    name = run("sed -nE '/^(Hardware|cpu model|Processor)[[:space:]]*:/{s/^[^:]*: //p;q}' /proc/cpuinfo");
  }
  EXPECT_EQ(toUtf8(record().cpuName), chomp(name));
}

TEST_F(RealLinuxSystem, MemoryIsTheKernelsTotalOfUsablePages) {
  const std::string line = run("grep '^MemTotal:' /proc/meminfo");
  const long long kib = std::atoll(line.c_str() + line.find_first_of("0123456789"));
  ASSERT_GT(kib, 0);
  EXPECT_EQ(record().mainMemory, kib * 1024);
}

TEST_F(RealLinuxSystem, StorageIsTheSizeOfEachLocalFixedDiskMountedOnce) {
  // df lists each mounted file system with its size; the local, non-removable
  // block devices among them are counted once each.
  std::istringstream table(run("df -B1 --output=source,size 2>/dev/null | tail -n +2"));
  std::vector<dev_t> seen;
  long long expected = 0;
  std::string source;
  long long size;
  while (table >> source >> size) {
    struct stat st;
    if (::stat(source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
    if (std::find(seen.begin(), seen.end(), st.st_rdev) != seen.end()) continue;
    seen.push_back(st.st_rdev);
    const std::string info = run("lsblk -dnro NAME,RM " + source + " 2>/dev/null");
    if (info.rfind("loop", 0) == 0 || info.rfind("ram", 0) == 0 || info.rfind("zram", 0) == 0) continue;
    if (info.find(" 1") != std::string::npos) continue;
    expected += size;
  }
  EXPECT_EQ(record().storageSize, expected);
}

TEST_F(RealLinuxSystem, UserIsTheEffectiveUsersName) {
  EXPECT_EQ(toUtf8(record().authorizedOsUser), chomp(run("id -un")));
}

// ---- What the Linux operations answer outside the probes' normal path. ----

TEST(LinuxOperations, ProcessorValueMustFitTheGivenSize) {
  auto system = makeLocalSystem();
  RegistryKey key = nullptr;
  ASSERT_EQ(system->openMachineKey(u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", key), 0);
  std::uint8_t buffer[1024];
  std::uint32_t size = sizeof buffer;
  ASSERT_EQ(system->queryValue(key, u"ProcessorNameString", buffer, size), 0);
  ASSERT_GE(size, 2u);
  EXPECT_EQ(buffer[size - 2] | buffer[size - 1], 0) << "the value carries its terminator";

  std::uint32_t tooSmall = size - 2;
  EXPECT_NE(system->queryValue(key, u"ProcessorNameString", buffer, tooSmall), 0);
  std::uint32_t any = sizeof buffer;
  EXPECT_NE(system->queryValue(key, u"NoSuchValue", buffer, any), 0);
  system->closeKey(key);

  RegistryKey other = nullptr;
  EXPECT_NE(system->openMachineKey(u"SOFTWARE\\Microsoft", other), 0);
}

TEST(LinuxOperations, AdapterListMustFitTheGivenBuffer) {
  auto system = makeLocalSystem();
  alignas(8) std::uint8_t buffer[8] = {};
  std::uint32_t size = sizeof buffer;
  EXPECT_NE(system->getAdaptersAddresses(buffer, size), 0u);
  EXPECT_GT(size, sizeof buffer) << "the size needed is reported";
}

TEST(LinuxOperations, OnlyCountedDevicesAreFixedDrives) {
  auto system = makeLocalSystem();
  const std::uint32_t mask = system->getLogicalDrives();
  EXPECT_EQ(mask & 3u, 0u) << "A: and B: are never given";
  for (int i = 2; i < 26; ++i) {
    const char16_t root[] = {static_cast<char16_t>(u'A' + i), u':', u'\\', 0};
    const bool present = (mask >> i) & 1;
    EXPECT_EQ(system->getDriveType(root), present ? kDriveFixed : 1u) << char('A' + i);
    std::uint64_t total = 0;
    EXPECT_EQ(system->getDiskTotalBytes(root, total), present) << char('A' + i);
  }
}

TEST(LinuxOperations, ManagementServiceKnowsOneNamespaceAndThreeQueries) {
  auto wmi = makeWmiSystem();
  WmiLocator* locator = nullptr;
  ASSERT_GE(wmi->createLocator(&locator), 0);
  WmiServices* services = nullptr;
  EXPECT_LT(locator->connectServer(u"ROOT\\DEFAULT", &services), 0);
  EXPECT_EQ(services, nullptr);
  ASSERT_GE(locator->connectServer(u"ROOT\\CIMV2", &services), 0);
  WmiEnumerator* enumerator = nullptr;
  EXPECT_LT(services->execQuery(u"WQL", u"SELECT * FROM Win32_Process", 0x30, &enumerator), 0);
  EXPECT_LT(services->execQuery(u"SQL", u"SELECT * FROM Win32_OperatingSystem", 0x30, &enumerator), 0);
  EXPECT_EQ(enumerator, nullptr);

  ASSERT_GE(services->execQuery(u"WQL", u"SELECT * FROM Win32_OperatingSystem", 0x30, &enumerator), 0);
  ASSERT_NE(enumerator, nullptr);
  WmiClassObject* object = nullptr;
  std::uint32_t returned = 0;
  ASSERT_GE(enumerator->next(kWbemInfinite, &object, &returned), 0);
  ASSERT_EQ(returned, 1u);
  std::optional<std::u16string> text;
  EXPECT_LT(object->get(u"InstallDate", text), 0);
  EXPECT_FALSE(text.has_value());
  EXPECT_GE(object->get(u"Version", text), 0);
  struct utsname names;
  ASSERT_EQ(::uname(&names), 0);
  EXPECT_EQ(toUtf8(text.value_or(u"")), names.release);
  object->release();
  // One object per query.
  object = nullptr;
  enumerator->next(kWbemInfinite, &object, &returned);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(object, nullptr);
  enumerator->release();
  services->release();
  locator->release();
}

}  // namespace
}  // namespace quorvia
