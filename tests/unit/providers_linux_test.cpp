// The Linux providers: parsers over real machines' files (each folder's
// expected.tsv names a file beside it and what it must give), storage on mount
// layouts built in a private namespace, and this machine read by other means.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "device/file_text_linux.h"
#include "device/mounted_drives_linux.h"
#include "device/probes.h"
#include "device/processor_name_linux.h"
#include "device/wmi_system_linux.h"
#include "host/text.h"

namespace quorvia {
namespace {

const std::string kHere = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/') + 1);

std::vector<std::vector<std::string>> fixtureRows(const std::string& folder) {
  std::ifstream index(kHere + folder + "/expected.tsv");
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(index, line);) {
    std::istringstream fields(line);
    rows.emplace_back();
    for (std::string field; std::getline(fields, field, '\t');) rows.back().push_back(field);
  }
  EXPECT_FALSE(rows.empty()) << folder;
  return rows;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  char chunk[4096];
  for (std::size_t n; pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  if (pipe != nullptr) ::pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string rootDisk() {
  const std::string disk = run("mountpoint -d / 2>/dev/null");
  return disk.rfind("0:", 0) == 0 ? "" : disk;
}

// A file's .smbios and .dt are the SMBIOS record and device-tree model it falls back to.
TEST(CpuInfo, NamesTheProcessorOnEveryArchitecture) {
  for (const auto& row : fixtureRows("cpuinfo")) {
    const std::string path = kHere + "cpuinfo/" + row[0], smbios = path + ".smbios", model = path + ".dt";
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(readProcessorName(fd.get(), {smbios.c_str(), model.c_str(), "aarch64"}), row.at(1)) << row[0];
  }
}

// The tables' @ROOT@ is this machine's root disk, and every loop, RAM and
// compressed-RAM device it has is added: none of them may count. Each
// expected field is one drive, its mount points joined by '|'.
TEST(MountTable, GroupsTheMountPointsOfEachLocalDiskAndEachPool) {
  const std::string disk = rootDisk();
  if (disk.empty()) GTEST_SKIP() << "/ is not on a block device here";
  const std::string virtualDisks =
      run("cd /sys/dev/block && for d in *; do n=$(basename $(readlink $d)); case $n in loop*|ram*|zram*)"
          " echo \"30 20 $d / /mnt/$n rw - ext4 /dev/$n rw\";; esac; done");
  for (const auto& row : fixtureRows("mountinfo")) {
    std::string table;
    ASSERT_TRUE(readSmallFile((kHere + "mountinfo/" + row[0]).c_str(), table)) << row[0];
    for (std::size_t at; (at = table.find("@ROOT@")) != std::string::npos;) table.replace(at, 6, disk);
    table += virtualDisks + "\n";
    const std::string path = testing::TempDir() + "mountinfo-" + row[0];
    std::ofstream(path) << table;
    const MountedDrives drives = MountedDrives::fromMountTable(path.c_str());
    std::vector<std::string> found = {row[0]};
    for (const auto& drive : drives.drives()) {
      found.emplace_back();
      for (const auto& mount : drive.mounts) found.back() += (found.back().empty() ? "" : "|") + mount.point;
    }
    ::unlink(path.c_str());
    EXPECT_EQ(found, row) << table;
  }
}

TEST(OsRelease, ReadsTheLastAssignmentOfTheExactKeyByTheShellsQuotingRules) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='It''s \"quoted\" \\$'\n", "Its \"quoted\" \\$"},
      {"PRETTY_NAME=\"A \\\"B\\\" \\$C \\\\ \\`d\\` \\n\"", "A \"B\" $C \\ `d` \\n"},
      {"PRETTY_NAME=Plain\n", "Plain"},
      {"PRETTY_NAME=\"\"\n", ""},
      {"# PRETTY_NAME=\"comment\"\nPRETTY_NAME_X=\"x\"\nPRETTY_NAME=\"one\"\nPRETTY_NAME=\"two\"\n", "two"},
      {"NAME=\"n\"\n", std::nullopt},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(osReleaseValue(text, "PRETTY_NAME"), value) << text;
}

TEST(Utf8, ConvertsValidTextAndReplacesEachInvalidSequence) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"h\xC3\xA9 \xE6\x9D\xB1 \xF0\x9F\x98\x80", u"h\u00E9 \u6771 \U0001F600"},
      {"a\xFFz", u"a\uFFFDz"},
      {"\xE6\x9Dx", u"\uFFFDx"},                          // cut short
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
  };
  for (const auto& [utf8, utf16] : cases) EXPECT_EQ(utf16FromUtf8(utf8), utf16);
}

// The drive of "/" bound at each letter's place in a fresh tmpfs root, in a
// private mount namespace (needs root): h under a 0700 folder, c with a tmpfs
// mounted over it, o open to all; its size as `uid` sees it, chrooted there.
constexpr std::int64_t kNoNamespace = -3;
std::int64_t storageSeenBy(const std::string& binds, uid_t uid) {
  char root[] = "/tmp/machine-XXXXXX";
  int out[2];
  if (::mkdtemp(root) == nullptr || ::pipe(out) != 0) return -2;
  const pid_t child = ::fork();
  if (child == 0) {
    std::int64_t result = ::unshare(CLONE_NEWNS) == 0 ? -1 : kNoNamespace;
    bool ok = result == -1 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              ::mount("none", root, "tmpfs", 0, "size=1m") == 0;
    const std::string r = root;
    for (char b : binds) {
      const std::string at = b == 'h' ? r + "/owner/disk" : r + "/" + b;
      ok = ok && (b != 'h' || ::mkdir((r + "/owner").c_str(), 0700) == 0) && ::mkdir(at.c_str(), 0755) == 0 &&
           ::mount("/", at.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           (b != 'c' || ::mount("none", at.c_str(), "tmpfs", 0, "size=1m") == 0);
    }
    ok = ok && ::mkdir((r + "/proc").c_str(), 0755) == 0 && ::mkdir((r + "/sys").c_str(), 0755) == 0 &&
         ::mount("proc", (r + "/proc").c_str(), "proc", 0, nullptr) == 0 &&
         ::mount("/sys", (r + "/sys").c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 && ::chroot(root) == 0 &&
         ::chdir("/") == 0 && ::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0;
    const MountedDrives table = MountedDrives::fromMountTable();
    std::uint64_t bytes = 0;
    if (ok && table.drives().size() == 1 && MountedDrives::totalBytes(table.drives()[0], bytes)) {
      result = static_cast<std::int64_t>(bytes);
    }
    ::_exit(::write(out[1], &result, sizeof result) == sizeof result ? 0 : 1);
  }
  ::close(out[1]);
  std::int64_t result = -2;
  if (::read(out[0], &result, sizeof result) != sizeof result) result = -2;
  ::close(out[0]);
  ::waitpid(child, nullptr, 0);
  ::rmdir(root);
  return result;
}

TEST(MachineLayouts, StorageIsCountedThroughAMountPointThatReallyShowsTheDisk) {
  if (storageSeenBy("o", 0) == kNoNamespace) GTEST_SKIP() << "no mount namespace for this process (needs root)";
  const std::string disk = rootDisk();
  if (disk.empty()) GTEST_SKIP() << "/ is not on a block device here";
  const std::int64_t fsSize = std::atoll(run("df -B1 --output=size / | tail -n 1").c_str()),
                     diskSize = std::atoll(run("cat /sys/dev/block/" + disk + "/size").c_str()) * 512;
  const std::tuple<const char*, uid_t, std::int64_t> cases[] = {
      {"ho", 65534, fsSize},    // another user's (nobody's) disk folder first
      {"ho", 0, fsSize},        // which its owner may enter
      {"co", 0, fsSize},        // covered by a tmpfs: never the tmpfs's size
      {"hc", 65534, diskSize},  // nowhere to be seen: the disk's own size
  };
  ASSERT_NE(fsSize, diskSize);
  for (const auto& [binds, uid, size] : cases) EXPECT_EQ(storageSeenBy(binds, uid), size) << binds << " as " << uid;
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
