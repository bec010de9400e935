#include "device/mounted_drives_linux.h"

#include <dirent.h>
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

// File systems that a user-space daemon or the network serves. Every call
// into one (a lookup on the way to a path, statx, statvfs) waits for the
// daemon or the server: a FUSE request waits in request_wait_answer
// (fs/fuse/dev.c) until it is answered or the connection is aborted, past
// SIGKILL once the daemon has read it. The one rule of this file: no path at
// or below such a mount point is ever looked up.
// - FUSE: the kernel's "fuse" and "fuseblk" (fs/fuse/inode.c; ntfs-3g and
//   exfat-fuse mount fixed partitions as fuseblk), shown with their subtype
//   as "fuse.sshfs", "fuseblk.x" (show_type in fs/proc_namespace.c), and
//   virtiofs (fs/fuse/virtio_fs.c, served by virtiofsd on the VM's host).
// - Other file systems that hand their calls to a daemon: autofs (the
//   automount daemon or systemd), coda (venus), orangefs (its client-core).
// - Network and cluster file systems, as util-linux (mnt_fstype_is_netfs in
//   libmount/src/utils.c: cifs, smb3, smbfs, nfs*, afs, ncpfs, 9p*) and
//   coreutils (ME_REMOTE in gnulib's lib/mountlist.c: acfs, afs, auristorfs,
//   coda, fhgfs, gpfs, ibrix, ocfs2, vxfs, a source naming a host as
//   "host:path" or "//host/share", or "-hosts") name them, and ceph,
//   glusterfs, lustre, beegfs and gfs2 besides. (A ZFS dataset's name may
//   hold a colon; it is no host.)
bool servedByDaemonOrNetwork(std::string_view type, std::string_view source) {
  static constexpr std::string_view kTypes[] = {"fuse",      "fuseblk", "virtiofs",   "autofs", "coda", "orangefs",
                                                "cifs",      "smb3",    "smbfs",      "ncpfs",  "afs",  "ceph",
                                                "glusterfs", "lustre",  "beegfs",     "fhgfs",  "gpfs", "gfs2",
                                                "ocfs2",     "acfs",    "auristorfs", "ibrix",  "vxfs"};
  for (std::string_view served : kTypes) {
    if (type == served) return true;
  }
  const bool nfs = startsWith(type, "nfs") && type != "nfsd";  // nfsd is the server's own control file system
  return nfs || startsWith(type, "fuse.") || startsWith(type, "fuseblk.") || startsWith(type, "9p") ||
         (source.find(':') != std::string_view::npos && !startsWith(source, "/") && type != "zfs") ||
         startsWith(source, "//") || source == "-hosts";
}

// Loop, RAM and compressed-RAM devices hold no disk of this machine, and
// network block devices (nbd, Ceph's rbd) a disk of another.
bool isVirtualOrNetworkDevice(std::string_view name) {
  for (std::string_view prefix : {"loop", "ram", "zram", "nbd", "rbd"}) {
    if (startsWith(name, prefix)) return true;
  }
  return false;
}

// Whether the block device whose sysfs folder `path` names (through a link)
// lies on disks that stay in this machine: it is no loop, RAM or network
// device, not marked removable, and neither is any device under it. A
// device-mapper volume (LUKS, LVM, a VeraCrypt container) or an md array
// names the devices under it in slaves/ (bd_link_disk_holder in
// block/holder.c, called by drivers/md/dm.c and drivers/md/md.c), so an
// encrypted USB stick or a file container over a loop device is left out, as
// the stick and the loop device themselves are.
bool isFixedDevice(const std::string& path, int depth) {
  char target[512];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;      // not a block device the kernel knows
  if (depth == 0) return false;  // stacked deeper than any real volume
  const std::string_view link(target, static_cast<std::size_t>(n));
  const std::string_view name = link.substr(link.rfind('/') + 1);
  if (isVirtualOrNetworkDevice(name)) return false;

  // Partitions carry no removable flag and no slaves of their own; their
  // disk does. Each sysfs lookup costs, so each is simply tried where a disk
  // has it.
  std::string removable;
  if (!readSmallFile((path + "/removable").c_str(), removable, 16)) {
    readSmallFile((path + "/../removable").c_str(), removable, 16);
  }
  if (startsWith(removable, "1")) return false;
  // Only device-mapper (dm-N) and md (mdN, md_NAME, and their partitions)
  // volumes link the devices under them; a disk's slaves/ is always empty.
  if (!startsWith(name, "dm-") && !startsWith(name, "md")) return true;
  std::string slaves = path + "/slaves";
  DIR* folder = ::opendir(slaves.c_str());
  if (folder == nullptr) folder = ::opendir((slaves = path + "/../slaves").c_str());
  if (folder == nullptr) return true;
  bool fixed = true;
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    if (!(fixed = isFixedDevice(slaves + "/" + entry->d_name, depth - 1))) break;
  }
  ::closedir(folder);
  return fixed;
}

bool isFixedDisk(dev_t device, const std::string& root) {
  constexpr int kMaxStacking = 8;  // LVM on LUKS on md on partitions is four
  return isFixedDevice(sysfsBlockPath(root, device), kMaxStacking);
}

// Whether every account can reach `point`: every folder above it lets others
// search it. Root may pass any folder and a folder's owner or group theirs,
// so a mount point behind one would be measured for some accounts only.
bool everyAccountReaches(const std::string& point) {
  for (std::size_t slash = point.find('/'); slash != std::string::npos && slash + 1 < point.size();
       slash = point.find('/', slash + 1)) {
    struct statx st;
    const std::string folder = slash == 0 ? "/" : point.substr(0, slash);
    if (::statx(AT_FDCWD, folder.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_MODE,
                &st) != 0 ||
        (st.stx_mode & S_IXOTH) == 0) {
      return false;
    }
  }
  return true;
}

// Whether `path` is `point` or lies below it.
bool isAtOrBelow(std::string_view path, std::string_view point) {
  if (point == "/") return true;
  return startsWith(path, point) && (path.size() == point.size() || path[point.size()] == '/');
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
  std::vector<std::string> pools;   // beside drives_: the pool name of each, empty for a disk
  std::vector<dev_t> others;        // devices already found not to be fixed disks
  std::vector<std::string> served;  // mount points of file systems a daemon or the network serves
  std::string line;
  Entry entry;
  while (reader.next(line)) {
    if (!parseMountInfoLine(line, entry)) continue;
    if (servedByDaemonOrNetwork(entry.type, entry.source)) served.push_back(entry.mountPoint);
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
  // Served file systems mounted later may lie over earlier mount points.
  for (Drive& drive : table.drives_) {
    for (Mount& mount : drive.mounts) {
      for (const std::string& point : served) mount.lookedUp = mount.lookedUp && !isAtOrBelow(mount.point, point);
    }
  }
  return table;
}

bool MountedDrives::totalBytes(const Drive& drive, std::uint64_t& bytes, const std::string& root) {
  for (const Mount& mount : drive.mounts) {
    if (!mount.lookedUp || !everyAccountReaches(mount.point)) continue;
    // A path shows a mount when it is on that mount's device; the kernel's
    // mount ID settles it where one file system reports several devices
    // (btrfs subvolumes).
    struct statx st;
    if (::statx(AT_FDCWD, mount.point.c_str(), AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_BASIC_STATS | STATX_MNT_ID,
                &st) != 0) {
      continue;  // not there
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
