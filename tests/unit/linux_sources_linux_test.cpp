// How the Linux providers read the kernel's and the distribution's text
// formats, with inputs this machine may not have.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
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

// Read from an in-memory file, the way /proc/cpuinfo is handed over.
std::optional<std::string> processorName(const std::string& cpuinfo) {
  const int fd = ::memfd_create("cpuinfo", MFD_CLOEXEC);
  EXPECT_EQ(::write(fd, cpuinfo.data(), cpuinfo.size()), static_cast<ssize_t>(cpuinfo.size()));
  std::optional<std::string> name = readProcessorName(fd);
  ::close(fd);
  return name;
}

TEST(CpuInfo, TakesTheFirstModelNameElseTheFirstLineNamingTheHardware) {
  const std::string longLine = "flags\t\t: " + std::string(10000, 'f') + "\n";
  const struct {
    std::string cpuinfo;
    std::optional<std::string> name;
  } cases[] = {
      {"processor\t: 0\nmodel name\t:   Xeon  \nprocessor\t: 1\nmodel name\t: Other\n", "  Xeon  "},
      {"Processor\t: ARMv7 Processor rev 4 (v7l)\nmodel name\t: ARMv7 rev 4\n", "ARMv7 rev 4"},
      {"Hardware\t: board\nRevision\t: 1\nmodel name\t: core\n", "core"},
      {"processor\t: 0\nBogoMIPS\t: 48.00\n\nHardware\t: BCM2835\nRevision\t: c03111\n", "BCM2835"},
      {"system type\t\t: MT7621\nmachine\t\t\t: Router\ncpu model\t\t: MIPS 1004Kc V2.15\n", "MIPS 1004Kc V2.15"},
      {"cpu model\t: first\nHardware\t: second\n", "first"},
      {longLine + "model name\t: " + std::string(5000, 'm'), std::string(5000, 'm')},
      {"processor\t: 0\ncpu\t\t: POWER9 (raw), altivec supported\n", std::nullopt},
      {"model names\t: no\nHardwareX\t: no\n", std::nullopt},  // only whole keys count
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(processorName(c.cpuinfo), c.name) << c.cpuinfo.substr(0, 60);
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

TEST(MountInfo, ReadsDeviceMountPointAndSourceWithEscapesUndone) {
  MountedDrives::Entry entry;
  ASSERT_TRUE(MountedDrives::parseMountInfoLine(
      "36 35 98:16 /mnt1 /mnt/my\\040disk rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue", entry));
  EXPECT_EQ(entry.major, 98u);
  EXPECT_EQ(entry.minor, 16u);
  EXPECT_EQ(entry.mountPoint, "/mnt/my disk");
  EXPECT_EQ(entry.source, "/dev/root");
  ASSERT_TRUE(MountedDrives::parseMountInfoLine("27 1 254:0 / / rw,relatime - btrfs /dev/vdb rw", entry));
  EXPECT_EQ(entry.mountPoint, "/");
  EXPECT_EQ(entry.source, "/dev/vdb");
  EXPECT_FALSE(MountedDrives::parseMountInfoLine("27 1 254:0 / / rw,relatime", entry));
  EXPECT_FALSE(MountedDrives::parseMountInfoLine("27 1 x:y / / rw - ext4 /dev/vda rw", entry));
}

// A mount table of our own over this machine's real block devices.
TEST(MountTable, CountsEachLocalDiskOnceAndNoLoopOrRamDevice) {
  struct stat root;
  ASSERT_EQ(::stat("/", &root), 0);
  if (major(root.st_dev) == 0) GTEST_SKIP() << "/ is not on a block device here";
  const std::string disk = std::to_string(major(root.st_dev)) + ":" + std::to_string(minor(root.st_dev));
  std::string table = "20 1 " + disk + " / / rw - ext4 /dev/x rw\n" + "21 20 " + disk +
                      " /home /mnt/bind\\040mount rw - ext4 /dev/x rw\n" + "22 20 0:22 / /sys rw - sysfs sysfs rw\n";
  if (DIR* dir = ::opendir("/sys/dev/block")) {
    while (const dirent* e = ::readdir(dir)) {
      char target[512] = {};
      const std::string link = std::string("/sys/dev/block/") + e->d_name;
      if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
      const std::string name = std::strrchr(target, '/') + 1;
      if (name.rfind("loop", 0) == 0 || name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) {
        table += "30 20 " + std::string(e->d_name) + " / /mnt/" + name + " rw - ext4 /dev/" + name + " rw\n";
      }
    }
    ::closedir(dir);
  }
  char path[] = "/tmp/mountinfo-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, table.data(), table.size()), static_cast<ssize_t>(table.size()));
  ::close(fd);
  const MountedDrives drives = MountedDrives::fromMountTable(path);
  ::unlink(path);
  EXPECT_EQ(drives.mountPoints(), std::vector<std::string>{"/"}) << table;
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
