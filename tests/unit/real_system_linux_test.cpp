// The Linux providers on this machine where the process tests do not reach,
// checked against readings taken by other means: df, lsblk, sysfs and the
// shell. The process tests already hold the document's names, memory, CPU,
// OS, machine ID and each address against this machine.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "device/probes.h"
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
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(RealLinuxSystem, StorageIsTheSizeOfEachLocalFixedDiskMountedOnce) {
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
  DeviceRecord record;
  collectStorageSize(*makeLocalSystem(), record);
  EXPECT_EQ(record.storageSize, expected);
}

TEST(RealLinuxSystem, AdaptersAreExactlyTheInterfacesWithAHardwareAddressInIndexOrder) {
  std::istringstream addresses(
      run("for i in /sys/class/net/*; do [ \"$(cat $i/type)\" = 772 ] || [ \"$(cat $i/addr_len)\" = 0 ] ||"
          " echo \"$(cat $i/ifindex) $(cut -c1-23 $i/address)\"; done 2>/dev/null | sort -n | cut -d' ' -f2 |"
          " tr a-f A-F"));
  std::string expected = "[";
  for (std::string address; addresses >> address;) expected += (expected.size() > 1 ? ", \"" : "\"") + address + "\"";
  EXPECT_EQ(toUtf8(collectAdapterAddresses(*makeLocalSystem())), expected + "]");
}

// The probes count on these operations failing the way Windows does, never
// handing back less than was asked for.
TEST(LinuxOperations, RefuseWhatIsMissingOrDoesNotFit) {
  auto system = makeLocalSystem();
  alignas(8) std::uint8_t buffer[1024];
  std::uint32_t size = 8;
  EXPECT_NE(system->getAdaptersAddresses(buffer, size), 0u);

  RegistryKey other = nullptr;
  EXPECT_NE(system->openMachineKey(u"SOFTWARE\\Microsoft", other), 0);
  RegistryKey key = nullptr;
  ASSERT_EQ(system->openMachineKey(u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", key), 0);
  size = sizeof buffer;
  ASSERT_EQ(system->queryValue(key, u"ProcessorNameString", buffer, size), 0);
  size -= 2;
  EXPECT_NE(system->queryValue(key, u"ProcessorNameString", buffer, size), 0);
  size = sizeof buffer;
  EXPECT_NE(system->queryValue(key, u"NoSuchValue", buffer, size), 0);
  system->closeKey(key);
}

}  // namespace
}  // namespace quorvia
