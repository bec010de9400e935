// Storage on machines whose mounts are laid out the way real ones are, made
// real in a private mount namespace (needs root): the root disk bound at
// several places, under a folder only its owner may enter, with a tmpfs
// mounted over it. The probe runs chrooted into a fresh tmpfs, so that the
// table it reads lists exactly these mounts, in the order made.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/file_text_linux.h"
#include "device/mounted_drives_linux.h"

namespace quorvia {
namespace {

// Each letter one bind of "/" in the new root: h under a 0700 folder, c with
// a tmpfs mounted over it, o open to all. Returns the one drive's size as
// seen by `uid`; -1 when there is not exactly one drive or the query fails,
// -3 when this process may not have a mount namespace of its own.
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
  struct statvfs fs;
  struct stat root;
  ASSERT_EQ(::statvfs("/", &fs), 0);
  ASSERT_EQ(::stat("/", &root), 0);
  if (major(root.st_dev) == 0) GTEST_SKIP() << "/ is not on a block device here";
  const auto fsSize = static_cast<std::int64_t>(fs.f_blocks * fs.f_frsize);
  std::string sectors;
  ASSERT_TRUE(readSmallFile(
      ("/sys/dev/block/" + std::to_string(major(root.st_dev)) + ":" + std::to_string(minor(root.st_dev)) + "/size")
          .c_str(),
      sectors));
  const std::int64_t diskSize = std::atoll(sectors.c_str()) * 512;
  const uid_t nobody = 65534;
  const struct {
    const char* binds;
    uid_t uid;
    std::int64_t size;
  } cases[] = {
      {"ho", nobody, fsSize},   // another user's disk folder first
      {"ho", 0, fsSize},        // which its owner may enter
      {"co", 0, fsSize},        // covered by a tmpfs: never the tmpfs's size
      {"hc", nobody, diskSize}, // nowhere to be seen: the disk's own size
      {"o", nobody, fsSize},
  };
  ASSERT_NE(fsSize, diskSize);
  for (const auto& c : cases) EXPECT_EQ(storageSeenBy(c.binds, c.uid), c.size) << c.binds << " as " << c.uid;
}

}  // namespace
}  // namespace quorvia
