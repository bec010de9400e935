#include "device/mounted_drives_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "device/file_text_linux.h"

namespace quorvia {

namespace {

// The table writes space, tab, line feed and backslash as \ooo.
std::string unescapeField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const auto octal = [](char c) { return c >= '0' && c <= '7'; };
      if (octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
        out.push_back(
            static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

bool parseUnsigned(std::string_view text, unsigned& value) {
  if (text.empty()) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  value = v;
  return true;
}

// The device a mount sits on. File systems such as btrfs report an anonymous
// device number (major 0) in the table, and their source names the real one.
bool resolveDevice(const MountedDrives::Entry& entry, dev_t& device) {
  if (entry.major != 0) {
    device = makedev(entry.major, entry.minor);
    return true;
  }
  if (entry.source.rfind("/dev/", 0) != 0) return false;  // proc, tmpfs, network shares, ...
  struct stat st;
  if (::stat(entry.source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  device = st.st_rdev;
  return true;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// /sys/dev/block/MAJOR:MINOR under root, the device's entry in sysfs, and
// `rest` after it.
std::string sysfsBlockPath(const std::string& root, dev_t device, std::string_view rest = {}) {
  std::string path = root + "/sys/dev/block/";
  path.append(std::to_string(major(device))).append(":").append(std::to_string(minor(device))).append(rest);
  return path;
}

// A disk of this machine that stays in it: not a loop, RAM or compressed-RAM
// device, and not marked removable on its whole disk. Device-mapper and md
// devices are local disks too.
bool isFixedDisk(dev_t device, const std::string& root) {
  const std::string path = sysfsBlockPath(root, device);
  char target[512];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;  // not a block device the kernel knows
  const std::string_view link(target, static_cast<std::size_t>(n));
  const std::string_view name = link.substr(link.rfind('/') + 1);
  if (startsWith(name, "loop") || startsWith(name, "ram") || startsWith(name, "zram")) return false;

  // Partitions carry no removable flag of their own; their disk does. Each
  // sysfs lookup costs, so the flag is simply tried where a disk has it.
  std::string removable;
  if (!readSmallFile((path + "/removable").c_str(), removable, 16)) {
    readSmallFile((path + "/../removable").c_str(), removable, 16);
  }
  return !startsWith(removable, "1");
}

}  // namespace

bool MountedDrives::parseMountInfoLine(std::string_view line, Entry& entry) {
  // id parent major:minor root mount-point options [optional...] - type source super-options
  std::string_view fields[6];
  std::size_t count = 0;
  std::size_t pos = 0;
  while (count < 6) {
    const std::size_t space = line.find(' ', pos);
    if (space == std::string_view::npos) return false;
    fields[count++] = line.substr(pos, space - pos);
    pos = space + 1;
  }
  const std::size_t separator = line.find(" - ", pos - 1);
  if (separator == std::string_view::npos) return false;
  std::string_view rest = line.substr(separator + 3);
  const std::size_t typeEnd = rest.find(' ');
  if (typeEnd == std::string_view::npos) return false;
  const std::string_view type = rest.substr(0, typeEnd);
  rest = rest.substr(typeEnd + 1);
  const std::string_view source = rest.substr(0, rest.find(' '));

  const std::string_view device = fields[2];
  const std::size_t colon = device.find(':');
  if (colon == std::string_view::npos || !parseUnsigned(fields[0], entry.id)) return false;
  if (!parseUnsigned(device.substr(0, colon), entry.major) || !parseUnsigned(device.substr(colon + 1), entry.minor)) {
    return false;
  }
  entry.mountPoint = unescapeField(fields[4]);
  entry.type = unescapeField(type);
  entry.source = unescapeField(source);
  return true;
}

MountedDrives MountedDrives::fromMountTable(const char* path, const std::string& root) {
  MountedDrives table;
  const FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return table;
  LineReader reader(fd.get());
  std::vector<std::string> pools;  // beside drives_: the pool name of each, empty for a disk
  std::vector<dev_t> others;       // devices already found not to be fixed disks
  std::string line;
  Entry entry;
  while (reader.next(line)) {
    if (!parseMountInfoLine(line, entry)) continue;
    // A ZFS source is pool/dataset; every dataset of a pool shares its disks.
    std::string pool;
    dev_t disk = 0;
    if (entry.type == "zfs") {
      pool = entry.source.substr(0, entry.source.find('/'));
      if (pool.empty()) continue;
    } else if (!resolveDevice(entry, disk) || std::find(others.begin(), others.end(), disk) != others.end()) {
      continue;
    }
    std::size_t i = 0;
    while (i < table.drives_.size() && (table.drives_[i].disk != disk || pools[i] != pool)) ++i;
    if (i == table.drives_.size()) {
      if (pool.empty() && !isFixedDisk(disk, root)) {
        others.push_back(disk);
        continue;
      }
      if (table.drives_.size() == kMaxDrives) continue;
      table.drives_.push_back(Drive{disk, {}});
      pools.push_back(pool);
    }
    table.drives_[i].mounts.push_back(Mount{entry.id, makedev(entry.major, entry.minor), entry.mountPoint});
  }
  return table;
}

bool MountedDrives::totalBytes(const Drive& drive, std::uint64_t& bytes, const std::string& root) {
  for (const Mount& mount : drive.mounts) {
    // A path shows a mount when it is on that mount's device; the kernel's
    // mount ID settles it where one file system reports several devices
    // (btrfs subvolumes).
    struct statx st;
    if (::statx(AT_FDCWD, mount.point.c_str(), AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_BASIC_STATS | STATX_MNT_ID,
                &st) != 0) {
      continue;  // not there, or not for this user
    }
    const bool sameDevice = makedev(st.stx_dev_major, st.stx_dev_minor) == mount.device;
    const bool sameMount = (st.stx_mask & STATX_MNT_ID) != 0 && st.stx_mnt_id == mount.id;
    if (!sameDevice && !sameMount) continue;  // something else is mounted over it
    struct statvfs fs;
    if (::statvfs(mount.point.c_str(), &fs) != 0) return false;
    bytes = static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize;
    return true;
  }
  bytes = 0;
  if (drive.disk == 0) return true;
  // sysfs gives every block device's size in 512-byte sectors.
  std::string sectors;
  if (readSmallFile(sysfsBlockPath(root, drive.disk, "/size").c_str(), sectors, 32))
    bytes = std::strtoull(sectors.c_str(), nullptr, 10) * 512;
  return true;
}

}  // namespace quorvia
