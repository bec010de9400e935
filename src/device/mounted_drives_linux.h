#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvia {

// The local, non-removable block devices that hold a mounted file system,
// each once, in mount order, with the first mount point it was found at. They
// stand in for the fixed drives of the drive-letter interface: the first is
// C:, the next D:, and so on, 24 at most.
class MountedDrives {
 public:
  static constexpr std::size_t kMaxDrives = 24;  // C: to Z:

  // Reads the process's mount table; an unreadable table gives no drive.
  static MountedDrives fromMountTable(const char* path = "/proc/self/mountinfo");

  const std::vector<std::string>& mountPoints() const { return mountPoints_; }

  // Mount point and device fields of one mountinfo line, with the table's
  // octal escapes (\040 for a space, ...) undone. False for a malformed line.
  struct Entry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint;
    std::string source;
  };
  static bool parseMountInfoLine(std::string_view line, Entry& entry);

 private:
  std::vector<std::string> mountPoints_;
};

}  // namespace quorvia
