// The Linux providers: parsers over real machines' files and this machine
// read by other means.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "base/text.h"
#include "corpus/corpus.h"
#include "device/file_text_linux.h"
#include "device/local_system_linux.h"
#include "device/mounted_drives_linux.h"
#include "device/probes.h"
#include "device/processor_name_linux.h"
#include "device/wmi_system_linux.h"

namespace quorvia {
namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  char chunk[4096];
  for (std::size_t n; pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  if (pipe != nullptr) ::pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// Each line of the folder's expected.tsv names a file beside it and, after a
// tab, what `parse` must make of that file.
void checkFixtures(const std::string& folder, const std::function<std::string(const std::string&)>& parse) {
  const auto rows = testing::dataLines("unit/" + folder + "/expected.tsv");
  for (const std::string& line : rows) {
    const std::string name = line.substr(0, line.find('\t'));
    EXPECT_EQ(parse(testing::dataPath("unit/" + folder + "/" + name)), line.substr(name.size() + 1)) << name;
  }
  EXPECT_FALSE(rows.empty()) << "QUORVIA_TEST_DATA should name tests";
}

std::string textOf(const std::string& path) {
  std::string text;
  EXPECT_TRUE(readSmallFile(path.c_str(), text)) << path;
  return text;
}

// A file's .root folder stands in for / where the device tree is read;
// arm-parts.tsv holds every arm64 part the host names.
TEST(Fixtures, CpuInfoNamesTheProcessorOnEveryArchitecture) {
  const auto name = [](const std::string& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));  // -1 where there is no file
    return readProcessorName(fd.get(), {path + ".root", "aarch64"}).value_or("(none)");
  };
  checkFixtures("cpuinfo", name);
  EXPECT_EQ(name(testing::dataPath("unit/cpuinfo")), "aarch64");  // a file that cannot be read: a folder
  const std::string copy = ::testing::TempDir() + "cpuinfo";
  for (const std::string& row : testing::dataLines("unit/cpuinfo/arm-parts.tsv")) {
    const auto part = testing::fields(row);
    std::ofstream(copy) << "CPU implementer\t: " << part[0] << "\nCPU part\t: " << part[1] << "\n";
    EXPECT_EQ(name(copy), part[2]) << row;
  }
}

// The tables' @ROOT@ is this machine's root disk. Each expected field is one
// drive, its mount points joined by '|', and its size: through the first
// mount point that shows its file system (not one that is not there, nor
// /proc, which another file system covers), else the disk's.
TEST(Fixtures, MountTableGroupsTheMountPointsOfEachLocalDiskAndEachPool) {
  const std::string disk = run("mountpoint -d / 2>/dev/null");  // major:minor
  if (disk.empty() || disk.rfind("0:", 0) == 0) GTEST_SKIP() << "/ is not on a block device here";
  const std::uint64_t fsSize = std::stoull(run("df -B1 --output=size / | tail -n 1")),
                      diskSize = std::stoull(run("cat /sys/dev/block/" + disk + "/size")) * 512;
  ASSERT_NE(fsSize, diskSize);
  checkFixtures("mountinfo", [&](const std::string& path) {
    std::string table = textOf(path), found;
    for (std::size_t at; (at = table.find("@ROOT@")) != std::string::npos;) table.replace(at, 6, disk);
    const std::string copy = ::testing::TempDir() + "mountinfo";
    std::ofstream(copy) << table;
    const std::string root = ::access((path + ".root").c_str(), F_OK) == 0 ? path + ".root" : "";
    const MountedDrives drives = MountedDrives::fromMountTable(copy.c_str(), root);
    for (const auto& drive : drives.drives()) {
      std::string points;
      for (const auto& mount : drive.mounts) points += (points.empty() ? "" : "|") + mount.point;
      std::uint64_t size = 0;
      const bool ok = MountedDrives::totalBytes(drive, size, root);
      points += !ok ? "=failed" : size == fsSize ? "=fs" : size == diskSize ? "=disk" : "=" + std::to_string(size);
      found += (found.empty() ? "" : "\t") + points;
    }
    return found;
  });
}

// The name glibc's files module gives: its own line parser (fgetpwent_r)
// and its test of a line (files-pwd.c: the first of the uid whose name does
// not start with '+' or '-').
std::string filesModuleName(const std::string& path, uid_t uid) {
  FILE* file = std::fopen(path.c_str(), "re");
  passwd entry, *found = nullptr;
  char buffer[8192];
  std::string name = "-";
  while (file != nullptr && fgetpwent_r(file, &entry, buffer, sizeof buffer, &found) == 0) {
    if (found->pw_uid == uid && found->pw_name[0] != '+' && found->pw_name[0] != '-') {
      name = found->pw_name;
      break;
    }
  }
  if (file != nullptr) std::fclose(file);
  return name;
}

// A folder set up as a machine stands in for /. Where the shortcut names a
// user, glibc reading the same file names the same.
TEST(Fixtures, MachineFilesGiveMakerModelIdSystemAndUserNames) {
  checkFixtures("machines", [](const std::string& root) {
    DeviceRecord record;
    record.collectWmiInfo(*makeWmiSystemAt(root));
    std::string found =
        toUtf8(record.venderName + u"|" + record.deviceName + u"|" + record.deviceId + u"|" + record.osName);
    for (uid_t uid : {0, 1000, 4242}) {
      const std::string name = nameFromPasswdFile(uid, root).value_or("-");
      if (name != "-") {
        EXPECT_EQ(name, filesModuleName(root + "/etc/passwd", uid)) << root << " " << uid;
      }
      found += "|" + name;
    }
    return found;
  });
}

// By the shells' quoting rules, the last assignment of the exact key.
TEST(Fixtures, OsReleaseValues) {
  checkFixtures("osrelease",
                [](const std::string& path) { return osReleaseValue(textOf(path), "PRETTY_NAME").value_or("(none)"); });
}

// Bytes as the system hands them over: each invalid sequence is one U+FFFD.
TEST(Fixtures, Utf8IsConvertedWithInvalidSequencesReplaced) {
  checkFixtures("utf8", [](const std::string& path) { return toUtf8(utf16FromUtf8(textOf(path))); });
}

// df's file systems on local, non-removable block devices, each device once.
TEST(RealLinuxSystem, StorageIsTheSizeOfEachLocalFixedDiskMountedOnce) {
  const std::string expected =
      run("df -B1 --output=source,size 2>/dev/null | tail -n +2 | while read s n; do [ -b \"$s\" ] &&"
          " echo \"$(stat -Lc %t:%T $s) $(lsblk -dnro NAME,RM $s) $n\"; done | sort -u -k1,1 |"
          " awk '$2 !~ /^(loop|ram|zram)/ && $3 == 0 {t += $4} END {printf \"%.0f\", t}'");
  DeviceRecord record;
  collectStorageSize(*makeLocalSystem(), record);
  EXPECT_EQ(std::to_string(record.storageSize), expected);
}

// Adapters listed in full and in order. The probes count on these calls
// failing the way Windows does, never handing back less than was asked for.
TEST(RealLinuxSystem, AdaptersAreTheInterfacesWithAHardwareAddressAndTooSmallBuffersAreRefused) {
  const std::string expected =
      run("for i in /sys/class/net/*; do [ \"$(cat $i/type)\" = 772 ] || [ \"$(cat $i/addr_len)\" = 0 ] || echo"
          " \"$(cat $i/ifindex) $(cut -c1-23 $i/address)\"; done 2>/dev/null | sort -n | cut -d' ' -f2 | tr a-f A-F |"
          " sed 's/.*/\"&\"/' | paste -sd, | sed 's/,/, /g'");
  auto system = makeLocalSystem();
  EXPECT_EQ(toUtf8(collectAdapterAddresses(*system)), "[" + expected + "]");
  alignas(8) std::uint8_t buffer[1024];
  std::uint32_t size = 8;
  EXPECT_NE(system->getAdaptersAddresses(buffer, size), 0u);
  RegistryKey key = nullptr;
  ASSERT_EQ(system->openMachineKey(u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", key), 0);
  size = sizeof buffer;
  ASSERT_EQ(system->queryValue(key, u"ProcessorNameString", buffer, size), 0);
  size -= 2;
  EXPECT_NE(system->queryValue(key, u"ProcessorNameString", buffer, size), 0);
  system->closeKey(key);
}

}  // namespace
}  // namespace quorvia
