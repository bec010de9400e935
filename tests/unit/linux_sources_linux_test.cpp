// How the Linux providers read the kernel's and the distribution's text
// formats, with inputs this machine may not have.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/file_text_linux.h"
#include "device/mounted_drives_linux.h"
#include "device/processor_name_linux.h"
#include "device/wmi_system_linux.h"

namespace quorvia {
namespace {

// Real /proc/cpuinfo contents of each architecture, with the SMBIOS record
// and device-tree model some of them fall back to, beside this file.
TEST(CpuInfo, NamesTheProcessorOnEveryArchitecture) {
  const std::string dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/cpuinfo/";
  const struct {
    const char* file;
    std::string name;
  } cases[] = {
      {"x86-epyc", "AMD EPYC 7B13"},
      {"x86-leading-spaces", "  Intel(R) Xeon(R) CPU  "},
      {"x86-long-lines", std::string(5000, 'm')},
      {"armv7-rpi", "ARMv7 Processor rev 4 (v7l)"},
      {"armv6-old", "ARMv6-compatible processor rev 7 (v6l)"},
      {"arm64-rpi-vendor-kernel", "BCM2835"},
      {"mips-router", "MIPS 1004Kc V2.15"},
      {"arm64-altra", "ARM Neoverse-N1"},
      {"arm64-graviton3", "ARM Neoverse-V1"},
      {"arm64-rk3588", "ARM Cortex-A55"},
      {"arm64-asahi-m1", "Apple M1 Icestorm"},
      {"arm64-thunderx2", "Cavium ThunderX2 99xx"},
      {"arm64-ampereone", "Ampere Ampere-1"},
      {"arm64-snapdragon", "Qualcomm Kryo 4XX Silver"},
      {"arm64-unknown-smbios", "Ampere(R) Altra(R) Processor Q80-30 CPU @ 3.0GHz"},
      {"arm64-unknown-devicetree", "Pine64 RockPro64 v2.1"},
      {"arm64-unknown-bare", "aarch64"},
      {"power9-powernv", "POWER9 (raw), altivec supported"},
      {"power10-pseries", "POWER10 (architected), altivec supported"},
      {"s390x-z13", "IBM/S390 2964 (z13)"},
      {"s390x-unlisted-type", "IBM/S390 9999"},
      {"riscv-visionfive2", "sifive,u74-mc"},
      {"riscv-qemu", "rv64imafdch_zicbom_zicboz_zicntr_zicsr_zifencei_zihintpause_zihpm_sstc"},
      {"not-whole-keys", "aarch64"},
      {"empty", "aarch64"},
  };
  for (const auto& c : cases) {
    const std::string path = dir + c.file, smbios = path + ".smbios", model = path + ".dt";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(readProcessorName(fd, {smbios.c_str(), model.c_str(), "aarch64"}), c.name) << c.file;
    ::close(fd);
  }
}

TEST(OsRelease, ReadsTheLastAssignmentOfTheExactKeyByTheShellsQuotingRules) {
  const struct {
    std::string text;
    std::optional<std::string> value;
  } cases[] = {
      {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='It''s \"quoted\" \\$'\n", "Its \"quoted\" \\$"},
      {"PRETTY_NAME=\"A \\\"B\\\" \\$C \\\\ \\`d\\` \\n\"", "A \"B\" $C \\ `d` \\n"},
      {"PRETTY_NAME=Plain\n", "Plain"},
      {"PRETTY_NAME=\"\"\n", ""},
      {"# PRETTY_NAME=\"comment\"\nPRETTY_NAME_X=\"x\"\nPRETTY_NAME=\"one\"\nPRETTY_NAME=\"two\"\n", "two"},
      {"NAME=\"n\"\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(osReleaseValue(c.text, "PRETTY_NAME"), c.value) << c.text;
}

// Mount tables of our own over this machine's root disk (@ROOT@) and every
// loop, RAM and compressed-RAM device it has, none of which may count.
TEST(MountTable, GroupsTheMountPointsOfEachLocalDiskAndEachPool) {
  struct stat root;
  ASSERT_EQ(::stat("/", &root), 0);
  if (major(root.st_dev) == 0) GTEST_SKIP() << "/ is not on a block device here";
  const std::string disk = std::to_string(major(root.st_dev)) + ":" + std::to_string(minor(root.st_dev));
  std::string virtualDisks;
  if (DIR* dir = ::opendir("/sys/dev/block")) {
    while (const dirent* e = ::readdir(dir)) {
      char target[512] = {};
      const std::string link = std::string("/sys/dev/block/") + e->d_name;
      if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
      const std::string name = std::strrchr(target, '/') + 1;
      if (name.rfind("loop", 0) == 0 || name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) {
        virtualDisks += "30 20 " + std::string(e->d_name) + " / /mnt/" + name + " rw - ext4 /dev/" + name + " rw\n";
      }
    }
    ::closedir(dir);
  }
  using Points = std::vector<std::vector<std::string>>;
  const struct {
    const char* file;
    Points drives;
  } cases[] = {
      {"disk-and-binds", {{"/", "/mnt/bind mount"}}},
      {"zfs-pools", {{"/", "/home"}, {"/tank", "/tank/media"}, {"/boot"}}},
  };
  const std::string dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/mountinfo/";
  for (const auto& c : cases) {
    std::string table;
    ASSERT_TRUE(readSmallFile((dir + c.file).c_str(), table)) << c.file;
    for (std::size_t at; (at = table.find("@ROOT@")) != std::string::npos;) table.replace(at, 6, disk);
    table += virtualDisks;
    char path[] = "/tmp/mountinfo-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_EQ(::write(fd, table.data(), table.size()), static_cast<ssize_t>(table.size()));
    ::close(fd);
    const MountedDrives drives = MountedDrives::fromMountTable(path);
    Points found;
    for (const auto& drive : drives.drives()) {
      found.emplace_back();
      for (const auto& mount : drive.mounts) found.back().push_back(mount.point);
    }
    ::unlink(path);
    EXPECT_EQ(found, c.drives) << table;
  }
}

TEST(Utf8, ConvertsValidTextAndReplacesEachInvalidSequence) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"h\xC3\xA9 \xE6\x9D\xB1 \xF0\x9F\x98\x80", u"h\u00E9 \u6771 \U0001F600"},
      {"a\xFF"
       "b",
       u"a\uFFFDb"},
      {"\xE6\x9D"
       "x",
       u"\uFFFDx"},                                       // cut short
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(utf16FromUtf8(c.utf8), c.utf16);
}

}  // namespace
}  // namespace quorvia
