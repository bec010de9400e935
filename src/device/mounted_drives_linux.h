#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvia {

// The local, non-removable block devices (and ZFS pools) that hold a mounted
// file system, each once, in mount order, with every mount point it shows up
// at. They stand in for the fixed drives of the drive-letter interface: the
// first is C:, the next D:, and so on, 24 at most.
//
// Two rules keep the answer the same everywhere and every time:
// - No path at or below the mount point of a file system that a user-space
//   daemon or the network serves is ever looked up (servedByDaemonOrNetwork
//   in the .cpp names those file systems): a call into one waits for the
//   daemon or the server, for a FUSE request without an answer even past
//   SIGKILL. Such a drive (an NTFS partition through ntfs-3g is a fuseblk
//   mount of a real disk) counts with its size in sysfs.
// - A mount point is measured only where every account can reach it, that
//   is where every folder above it lets others search it (mode o+x); behind
//   a folder of one user or group, root would see the file system and others
//   not, so the drive counts with its size in sysfs for everyone. (An ACL
//   entry or a security module that shuts out one account is not seen.)
class MountedDrives {
 public:
  static constexpr std::size_t kMaxDrives = 24;  // C: to Z:

  struct Mount {
    unsigned id = 0;   // the table's mount ID
    dev_t device = 0;  // the file system's device as the table reports it
    std::string point;
    bool lookedUp = true;  // false: at or below a daemon's or the network's mount point
  };
  struct Drive {
    dev_t disk = 0;  // the block device; 0 for a ZFS pool
    std::vector<Mount> mounts;
  };

  // Reads the process's mount table; an unreadable table gives no drive.
  // `root` stands in for / where sysfs is read: "" in the host, a folder set
  // up as a machine in the tests.
  static MountedDrives fromMountTable(const char* path = "/proc/self/mountinfo", const std::string& root = "");

  const std::vector<Drive>& drives() const { return drives_; }

  // The drive's size, through the first of its mount points that every
  // account can reach, that may be looked up and that really shows the
  // drive's file system (another file system mounted over it hides it). A
  // disk with no such mount point counts with its size in sysfs, a pool not
  // at all. False only when the size query fails on such a mount point.
  static bool totalBytes(const Drive& drive, std::uint64_t& bytes, const std::string& root = "");

  // The fields of one mountinfo line the drives are made of, with the
  // table's octal escapes (\040 for a space, ...) undone. False for a
  // malformed line.
  struct Entry {
    unsigned id = 0;
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint;
    std::string type;
    std::string source;
  };
  static bool parseMountInfoLine(std::string_view line, Entry& entry);

 private:
  std::vector<Drive> drives_;
};

}  // namespace quorvia
