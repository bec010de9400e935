// The local operations from the kernel's own sources. Statuses keep the
// Windows values of the calls they stand for, so the shared logic reads them
// the same way on both platforms.

#include <fcntl.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/secret.h"
#include "device/file_text_linux.h"
#include "device/local_system_linux.h"
#include "device/mounted_drives_linux.h"
#include "device/processor_name_linux.h"
#include "device/system.h"

namespace quorvia {

namespace {

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNoData = 232;
constexpr std::uint32_t kDriveNoRootDir = 1;

constexpr std::u16string_view kCpuKeyPath = u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr std::u16string_view kCpuValueName = u"ProcessorNameString";

bool copyName(const std::u16string& name, char16_t* buffer, std::uint32_t capacity) {
  if (name.size() + 1 > capacity) return false;
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  return true;
}

// The entry a successful adapter call lays out in the caller's buffer, one
// after the other from its start, so a list too long for the buffer fails
// the way it does on Windows.
struct AdapterEntry {
  const AdapterEntry* next;
  std::uint32_t addressLength;
  std::uint8_t address[8];
};

struct Link {
  int index;
  std::uint32_t length;
  std::uint8_t address[8];
};

// Every link the kernel knows, with its hardware address: one RTM_GETLINK
// dump over netlink. getifaddrs would give the same links but also dumps
// every IP address, which the host has no use for. The dump is received into
// the caller's block (`area`), whose first pages the entries are written to
// afterwards, so the probe touches no other memory for it. Returns 0, a
// failure, or kErrorBufferOverflow with `needed` set when a message is longer
// than the block.
// `written`: how far into the area the kernel wrote.
std::uint32_t readLinks(std::vector<Link, WipingAllocator<Link>>& links, void* area, std::size_t areaSize,
                        std::size_t& needed, std::size_t& written) {
  const FileDescriptor sock(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (sock.get() < 0) return kErrorGenFailure;
  // The kernel gathers every link's counters for a dump unless told to skip
  // them (kernels older than 4.7 ignore the request and send them anyway).
  struct {
    nlmsghdr header;
    ifinfomsg body;
    rtattr maskHeader;
    std::uint32_t mask;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body.ifi_family = AF_UNSPEC;
  request.maskHeader.rta_len = RTA_LENGTH(sizeof request.mask);
  request.maskHeader.rta_type = IFLA_EXT_MASK;
  request.mask = RTEXT_FILTER_SKIP_STATS;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(sock.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return kErrorGenFailure;
  }
  auto* buffer = static_cast<char*>(area);
  for (;;) {
    // With MSG_TRUNC a netlink socket reports a message's whole length even
    // when the buffer held only its start (netlink_recvmsg in
    // net/netlink/af_netlink.c): a cut message would lose links unseen.
    const ssize_t n = ::recv(sock.get(), buffer, areaSize, MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return kErrorGenFailure;
    written = std::max(written, std::min(static_cast<std::size_t>(n), areaSize));
    if (static_cast<std::size_t>(n) > areaSize) {
      needed = static_cast<std::size_t>(n);
      return kErrorBufferOverflow;
    }
    auto remaining = static_cast<unsigned int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
      if (h->nlmsg_type == NLMSG_DONE) return 0;
      if (h->nlmsg_type == NLMSG_ERROR) return kErrorGenFailure;
      if (h->nlmsg_type != RTM_NEWLINK) continue;
      const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
      Link link{info->ifi_index, 0, {}};
      const bool loopback = (info->ifi_flags & IFF_LOOPBACK) != 0 || info->ifi_type == ARPHRD_LOOPBACK;
      auto attributesLength = static_cast<unsigned int>(IFLA_PAYLOAD(h));
      for (auto* a = IFLA_RTA(info); !loopback && RTA_OK(a, attributesLength); a = RTA_NEXT(a, attributesLength)) {
        if (a->rta_type != IFLA_ADDRESS) continue;
        link.length = std::min<std::uint32_t>(static_cast<std::uint32_t>(RTA_PAYLOAD(a)), sizeof link.address);
        std::memcpy(link.address, RTA_DATA(a), link.length);
      }
      links.push_back(link);
    }
  }
}

// The processor key holds the name, worked out when the key is opened; only
// a machine where no source names a processor fails the open, as a missing
// key does.
struct CpuInfoKey {
  std::string name;
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view skipBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  return text;
}

// A uid or gid field as glibc's strtoul reads it only when it is plain
// decimal digits without a leading zero (not " 1000", "+1000", "01000" or
// one past 2^32 - 1, each of which glibc reads as some number).
bool isPlainNumber(std::string_view field) {
  if (field.empty() || field.size() > 10 || (field[0] == '0' && field.size() > 1)) return false;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
  }
  return field.size() < 10 || field <= "4294967295";
}

// The word at the start of `text` (up to a blank or one of `ends`), taken off it.
std::string_view takeWord(std::string_view& text, std::string_view ends) {
  std::size_t n = 0;
  while (n < text.size() && !isBlank(text[n]) && ends.find(text[n]) == std::string_view::npos) ++n;
  const std::string_view word = text.substr(0, n);
  text.remove_prefix(n);
  return word;
}

bool isAnyOf(std::string_view word, std::initializer_list<std::string_view> upperCase) {
  for (std::string_view candidate : upperCase) {
    if (word.size() != candidate.size()) continue;
    std::size_t i = 0;
    while (i < word.size() && (word[i] == candidate[i] || word[i] == candidate[i] + 32)) ++i;
    if (i == word.size()) return true;
  }
  return false;
}

// Whether every "[...]" of an nsswitch.conf line is an action list as glibc
// reads it (nss_action_parse in nss/nss_action_parse.c): "!"? STATUS "="
// ACTION, again and again, with blanks between, the names in any case.
bool actionsWellFormed(std::string_view line) {
  for (std::size_t open; (open = line.find('[')) != std::string_view::npos;) {
    line.remove_prefix(open + 1);
    do {
      line = skipBlanks(line);
      if (!line.empty() && line[0] == '!') line.remove_prefix(1);
      const std::string_view status = takeWord(line, "=]");
      line = skipBlanks(line);
      if (line.empty() || line[0] != '=') return false;
      line = skipBlanks(line.substr(1));
      const std::string_view action = takeWord(line, "=]");
      if (!isAnyOf(status, {"SUCCESS", "NOTFOUND", "UNAVAIL", "TRYAGAIN"}) ||
          !isAnyOf(action, {"RETURN", "CONTINUE", "MERGE"})) {
        return false;
      }
      line = skipBlanks(line);
    } while (!line.empty() && line[0] != ']');
    if (line.empty()) return false;
  }
  return true;
}

// Whether glibc's files module answers a passwd lookup before any other
// service: the first service of the "passwd" line of nsswitch.conf is
// "files", with no action after it. Lines are read as glibc reads them
// (process_line in nss/nss_database.c, nss_getline in the older
// nss/nsswitch.c): blanks before the name, the name ending at a blank or a
// colon, compared exactly. Nullopt for what glibc versions read differently
// or refuse: two passwd lines (the newer reader keeps the last, the older
// the first), and an action list that is not well formed in any line, for
// which the newer reader gives up on the whole file and every lookup fails.
std::optional<bool> filesAnswersFirst(std::string_view config) {
  std::optional<bool> filesFirst;
  while (!config.empty()) {
    std::string_view line = config.substr(0, config.find('\n'));
    config.remove_prefix(std::min(config.size(), line.size() + 1));
    line = skipBlanks(line);
    if (line.empty() || line[0] == '#') continue;
    if (!actionsWellFormed(line)) return std::nullopt;
    if (takeWord(line, ":") != "passwd") continue;
    if (filesFirst) return std::nullopt;
    while (!line.empty() && (isBlank(line[0]) || line[0] == ':')) line.remove_prefix(1);
    filesFirst = takeWord(line, "[") == "files" && skipBlanks(line).substr(0, 1) != "[";
  }
  return filesFirst.value_or(false);
}

}  // namespace

// Read straight from the file, without getpwuid_r's start-up (the nscd
// probes, the service modules), which costs as much as the rest of the probe.
// The answer must be getpwuid_r's, so the file is read as glibc's files
// module reads it (nss/nss_files/files-XXX.c and files-pwd.c, the line
// parser in pwd/fgetpwent_r.c, nss/nss_files/files-parse.c): blanks before a
// line are dropped, and then empty lines and lines starting with '#' are
// skipped, as are names starting with '+' or '-' (nss_compat's); the first
// line with the uid gives the name. Any other line that glibc might read
// differently (no uid field in plain digits, an empty name, a NUL byte, a
// line longer than any passwd line needs) stops the shortcut before it can
// answer wrongly: nullopt then asks getpwuid_r.
std::optional<std::string> nameFromPasswdFile(uid_t uid, const std::string& root) {
  constexpr std::size_t kConfigLimit = 65536;  // a longer one might hide a second passwd line
  std::string config;
  if (!readSmallFile((root + "/etc/nsswitch.conf").c_str(), config, kConfigLimit) || config.size() == kConfigLimit ||
      filesAnswersFirst(config) != true) {
    return std::nullopt;
  }
  const FileDescriptor file(::open((root + "/etc/passwd").c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::nullopt;
  LineReader reader(file.get());
  const std::string wanted = std::to_string(uid);
  std::string line;
  while (reader.next(line)) {
    const std::string_view text = skipBlanks(line);
    if (text.empty() || text[0] == '#' || text[0] == '+' || text[0] == '-') continue;
    // name:password:uid:gid[:gecos:home:shell]
    std::string_view fields[4];
    std::string_view rest = text;
    for (std::string_view& field : fields) {
      field = rest.substr(0, rest.find(':'));
      rest.remove_prefix(std::min(rest.size(), field.size() + 1));
    }
    if (line.size() > 4096 || line.find('\0') != std::string::npos || fields[0].empty() || !isPlainNumber(fields[2]) ||
        !isPlainNumber(fields[3])) {
      return std::nullopt;
    }
    if (fields[2] == wanted) return std::string(fields[0]);
  }
  return std::nullopt;
}

namespace {

class LinuxLocalSystem final : public LocalSystem {
 public:
  bool getComputerName(char16_t* buffer, std::uint32_t capacity) override {
    char name[HOST_NAME_MAX + 1];
    if (::gethostname(name, sizeof name) != 0) return false;
    name[HOST_NAME_MAX] = 0;  // a truncated name may come back without one
    return copyName(utf16FromUtf8(name), buffer, capacity);
  }

  bool getUserName(char16_t* buffer, std::uint32_t capacity) override {
    const uid_t uid = ::geteuid();
    if (auto name = nameFromPasswdFile(uid)) return copyName(utf16FromUtf8(*name), buffer, capacity);
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
    passwd entry;
    passwd* found = nullptr;
    int error;
    for (;;) {
      error = ::getpwuid_r(uid, &entry, scratch.data(), scratch.size(), &found);
      if (error != ERANGE || scratch.size() >= (1u << 20)) break;
      scratch.resize(scratch.size() * 2);
    }
    if (found != nullptr && found->pw_name != nullptr) return copyName(utf16FromUtf8(found->pw_name), buffer, capacity);
    // Containers run under uids that no passwd file lists; the number is then
    // the account's only name, as ls and id show it. These are the results
    // getpwuid_r documents for "no such entry"; any other is the name
    // service failing, and the probe must say so.
    if (error != 0 && error != ENOENT && error != ESRCH && error != EBADF && error != EPERM) return false;
    return copyName(utf16FromUtf8(std::to_string(uid)), buffer, capacity);
  }

  long openMachineKey(const char16_t* path, RegistryKey& key) override {
    if (!equalsIgnoringCase(path, kCpuKeyPath)) return kErrorFileNotFound;
    const FileDescriptor file(::open("/proc/cpuinfo", O_RDONLY | O_CLOEXEC));  // -1: as if empty
    std::optional<std::string> name = readProcessorName(file.get());
    if (!name) return kErrorFileNotFound;
    key = new CpuInfoKey{std::move(*name)};
    return 0;
  }

  long queryValue(RegistryKey key, const char16_t* name, std::uint8_t* buffer, std::uint32_t& size) override {
    if (key == nullptr || !equalsIgnoringCase(name, kCpuValueName)) return kErrorFileNotFound;
    std::u16string text = utf16FromUtf8(static_cast<CpuInfoKey*>(key)->name);
    text.push_back(0);  // REG_SZ values carry their terminator
    const std::size_t bytes = text.size() * sizeof(char16_t);
    if (bytes > size) {
      size = static_cast<std::uint32_t>(bytes);
      return kErrorMoreData;
    }
    std::memcpy(buffer, text.data(), bytes);
    size = static_cast<std::uint32_t>(bytes);
    return 0;
  }

  void closeKey(RegistryKey key) override { delete static_cast<CpuInfoKey*>(key); }

  bool getTotalPhysicalMemory(std::uint64_t& bytes) override {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return false;
    bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    return true;
  }

  std::uint32_t getLogicalDrives() override {
    const auto count = static_cast<std::uint32_t>(drives().drives().size());
    return ((std::uint32_t{1} << count) - 1) << 2;  // from C: upward
  }

  std::uint32_t getDriveType(const char16_t* rootPath) override {
    return driveOf(rootPath) != nullptr ? kDriveFixed : kDriveNoRootDir;
  }

  std::uint32_t getDiskTotalBytes(const char16_t* rootPath, std::uint64_t& totalBytes) override {
    // A drive none of whose mount points this user can reach is still
    // counted (from its block device), so only a failing size query on a
    // reachable mount point is an error.
    const MountedDrives::Drive* drive = driveOf(rootPath);
    return drive != nullptr && MountedDrives::totalBytes(*drive, totalBytes) ? 0 : kErrorGenFailure;
  }

  std::uint32_t getAdaptersAddresses(void* buffer, std::uint32_t& size) override {
    if (reinterpret_cast<std::uintptr_t>(buffer) % alignof(AdapterEntry) != 0) return kErrorInvalidParameter;
    // The hardware addresses are device values: their copies are wiped too.
    std::vector<Link, WipingAllocator<Link>> links;
    std::size_t needed = 0, written = 0;
    const std::uint32_t status = readLinks(links, buffer, size, needed, written);
    if (status == 0 && links.empty()) return kErrorNoData;
    if (status == 0) needed = links.size() * sizeof(AdapterEntry);
    if (status == kErrorBufferOverflow || needed > size) {
      size = static_cast<std::uint32_t>(std::min<std::size_t>(needed, UINT32_MAX));
      return kErrorBufferOverflow;
    }
    if (status != 0) return status;

    std::stable_sort(links.begin(), links.end(), [](const Link& a, const Link& b) { return a.index < b.index; });
    auto* entries = static_cast<AdapterEntry*>(buffer);
    for (std::size_t i = 0; i < links.size(); ++i) {
      auto* entry = new (&entries[i]) AdapterEntry{};
      entry->next = i + 1 < links.size() ? &entries[i + 1] : nullptr;
      entry->addressLength = links[i].length;
      std::memcpy(entry->address, links[i].address, sizeof entry->address);
    }
    size = static_cast<std::uint32_t>(std::max(written, needed));
    return 0;
  }

  const void* nextAdapter(const void* entry) override { return static_cast<const AdapterEntry*>(entry)->next; }

  std::uint32_t physicalAddress(const void* entry, const std::uint8_t*& bytes) override {
    const auto* adapter = static_cast<const AdapterEntry*>(entry);
    bytes = adapter->address;
    return adapter->addressLength;
  }

 private:
  // The mount table is read once, however many letters are asked about.
  const MountedDrives& drives() {
    if (!drives_) drives_ = MountedDrives::fromMountTable();
    return *drives_;
  }

  const MountedDrives::Drive* driveOf(const char16_t* rootPath) {
    char16_t letter = rootPath[0];
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 32);
    if (letter < u'C' || letter > u'Z' || rootPath[1] != u':' || rootPath[2] != u'\\' || rootPath[3] != 0) {
      return nullptr;
    }
    const std::size_t index = static_cast<std::size_t>(letter - u'C');
    const auto& all = drives().drives();
    return index < all.size() ? &all[index] : nullptr;
  }

  std::optional<MountedDrives> drives_;
};

}  // namespace

std::unique_ptr<LocalSystem> makeLocalSystem() { return std::make_unique<LinuxLocalSystem>(); }

}  // namespace quorvia
