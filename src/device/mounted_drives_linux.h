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
class MountedDrives {
 public:
  static constexpr std::size_t kMaxDrives = 24;  // C: to Z:

  struct Mount {
    unsigned id = 0;   // the table's mount ID
    dev_t device = 0;  // the file system's device as the table reports it
    std::string point;
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

  // The drive's size, through the first of its mount points that this
  // process can reach and that really shows the drive's file system (another
  // file system mounted over it, or a folder this user may not enter, hides
  // it). A disk with no such mount point counts with its size in sysfs, a
  // pool not at all. False only when the size query fails on a reachable
  // mount point.
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
