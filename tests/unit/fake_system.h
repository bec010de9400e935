#pragma once

// Scripted stand-ins for the operating system. Each answers the way the real
// call would under the configured conditions and records what the probe logic
// did, so tests can see which calls ran and that every resource is released
// exactly once.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "device/system.h"

namespace quorvia::fake {

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;
constexpr std::uint32_t kErrorBufferOverflow = 111;
constexpr std::uint32_t kDriveRemovable = 2, kDriveRemote = 4, kDriveCdRom = 5;

constexpr long hresult(std::uint32_t value) { return static_cast<std::int32_t>(value); }
constexpr long kRpcETooLate = hresult(0x80010119);
constexpr long kWbemEFailed = hresult(0x80041001);
constexpr long kWbemENotFound = hresult(0x80041002);

// The bytes of a UTF-16 text as a registry value holds them.
inline std::vector<std::uint8_t> utf16Bytes(std::u16string_view text) {
  std::vector<std::uint8_t> bytes(text.size() * sizeof(char16_t));
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

class FakeLocalSystem : public LocalSystem {
 public:
  struct Drive {
    std::uint32_t type = kDriveFixed;
    std::optional<std::uint64_t> totalBytes;  // nullopt: the size query fails
    std::uint32_t failure = 1117;             // with this status (ERROR_IO_DEVICE)
  };
  // What the adapter call lays out in the caller's buffer, one after another.
  struct Entry {
    const Entry* next;
    std::uint32_t length;  // as reported, which may exceed 8
    std::uint8_t bytes[16];
  };

  // What the system answers; nullopt makes the call fail.
  std::optional<std::u16string> computerName = u"WORKSTATION-7";
  std::optional<std::u16string> userName = u"alice";
  long openStatus = 0;
  long queryStatus = 0;  // when not 0, returned instead of the value
  std::vector<std::uint8_t> cpuValue = utf16Bytes(std::u16string(u"Fake CPU @ 3.00GHz") + u'\0');
  std::optional<std::uint64_t> physicalMemory = std::uint64_t{17179869184};
  std::map<char, Drive> drives = {{'C', {kDriveFixed, 256060514304}}};  // the mask follows the letters
  std::uint32_t adapterStatus = 0;                                      // when not 0, returned without writing
  std::vector<std::vector<std::uint8_t>> adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
  std::size_t adaptersAppearing = 0;  // added after a call that overflowed

  // What the logic did.
  std::vector<std::string> calls;
  int keysOpened = 0, keysClosed = 0;
  bool wrongKeyUsed = false;  // a foreign or already closed key
  std::vector<std::uint32_t> adapterBufferSizes;
  bool adapterBufferZeroFilled = true;

  bool called(const std::string& name) const { return std::find(calls.begin(), calls.end(), name) != calls.end(); }

  bool getComputerName(char16_t* buffer, std::uint32_t capacity) override {
    calls.push_back("getComputerName");
    return writeName(computerName, buffer, capacity);
  }
  bool getUserName(char16_t* buffer, std::uint32_t capacity) override {
    calls.push_back("getUserName");
    return writeName(userName, buffer, capacity);
  }

  long openMachineKey(const char16_t*, RegistryKey& key) override {
    calls.push_back("openMachineKey");
    if (openStatus != 0) return openStatus;
    ++keysOpened;
    key = &keyHandle_;
    return 0;
  }
  long queryValue(RegistryKey key, const char16_t*, std::uint8_t* buffer, std::uint32_t& size) override {
    calls.push_back("queryValue");
    wrongKeyUsed |= key != &keyHandle_ || keysClosed >= keysOpened;
    if (queryStatus != 0) return queryStatus;
    if (cpuValue.size() > size) return kErrorMoreData;
    std::copy(cpuValue.begin(), cpuValue.end(), buffer);
    size = static_cast<std::uint32_t>(cpuValue.size());
    return 0;
  }
  void closeKey(RegistryKey key) override {
    calls.push_back("closeKey");
    wrongKeyUsed |= key != &keyHandle_;
    ++keysClosed;
  }

  bool getTotalPhysicalMemory(std::uint64_t& bytes) override {
    calls.push_back("getTotalPhysicalMemory");
    if (physicalMemory) bytes = *physicalMemory;
    return physicalMemory.has_value();
  }

  std::uint32_t getLogicalDrives() override {
    calls.push_back("getLogicalDrives");
    std::uint32_t mask = 0;
    for (const auto& [letter, drive] : drives) mask |= std::uint32_t{1} << (letter - 'A');
    return mask;
  }
  std::uint32_t getDriveType(const char16_t* rootPath) override {
    calls.push_back("getDriveType");
    const Drive* drive = driveAt(rootPath);
    return drive != nullptr ? drive->type : 1;  // DRIVE_NO_ROOT_DIR
  }
  std::uint32_t getDiskTotalBytes(const char16_t* rootPath, std::uint64_t& totalBytes) override {
    calls.push_back("getDiskTotalBytes");
    const Drive* drive = driveAt(rootPath);
    if (drive == nullptr) return 3;  // ERROR_PATH_NOT_FOUND
    if (!drive->totalBytes) return drive->failure;
    totalBytes = *drive->totalBytes;
    return 0;
  }

  // Lays the entries out from the start of the caller's buffer, as the real
  // call does, and says how much room they need when they do not fit.
  std::uint32_t getAdaptersAddresses(void* buffer, std::uint32_t& size) override {
    calls.push_back("getAdaptersAddresses");
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    adapterBufferSizes.push_back(size);
    adapterBufferZeroFilled &= std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
    if (adapterStatus != 0) return adapterStatus;
    if (adapters.size() * sizeof(Entry) > size) {
      size = static_cast<std::uint32_t>(adapters.size() * sizeof(Entry));
      adapters.resize(adapters.size() + adaptersAppearing, {2, 0, 0, 0, 0, 1});
      return kErrorBufferOverflow;
    }
    auto* entries = static_cast<Entry*>(buffer);
    for (std::size_t i = 0; i < adapters.size(); ++i) {
      Entry* entry = new (&entries[i]) Entry{};
      entry->next = i + 1 < adapters.size() ? &entries[i + 1] : nullptr;
      entry->length = static_cast<std::uint32_t>(adapters[i].size());
      std::copy_n(adapters[i].begin(), std::min<std::size_t>(adapters[i].size(), sizeof entry->bytes), entry->bytes);
    }
    return 0;
  }
  const void* nextAdapter(const void* entry) override { return static_cast<const Entry*>(entry)->next; }
  std::uint32_t physicalAddress(const void* entry, const std::uint8_t*& bytes) override {
    bytes = static_cast<const Entry*>(entry)->bytes;
    return static_cast<const Entry*>(entry)->length;
  }

 private:
  static bool writeName(const std::optional<std::u16string>& name, char16_t* buffer, std::uint32_t capacity) {
    if (!name || name->size() + 1 > capacity) return false;
    std::copy(name->begin(), name->end(), buffer);
    buffer[name->size()] = 0;
    return true;
  }
  // Only a root path of the form "C:\" names a drive.
  const Drive* driveAt(const char16_t* rootPath) const {
    const std::u16string path(rootPath);
    if (path.size() != 3 || path[1] != u':' || path[2] != u'\\') return nullptr;
    const auto it = drives.find(static_cast<char>(path[0]));
    return it != drives.end() ? &it->second : nullptr;
  }

  int keyHandle_ = 0;
};

// ---------------------------------------------------------------------------

struct FakeProperty {
  long status = 0;                     // of Get
  std::optional<std::u16string> text;  // nullopt: null or not a string
};
using FakeObject = std::map<std::u16string, FakeProperty>;
inline FakeProperty textProperty(std::u16string text) { return {0, std::move(text)}; }

struct FakeQuery {
  std::vector<FakeObject> objects;
  long status = 0;              // of ExecQuery
  bool nullEnumerator = false;  // success without an enumerator; a failure still hands one out
  int failingNext = -1;         // index of the Next call that fails
};

class FakeWmiSystem : public WmiSystem {
 public:
  // A non-zero status from the locator or the connection hands out nothing:
  // below 0 a failure, above it a success without an object.
  long securityStatus = 0, locatorStatus = 0, connectStatus = 0, blanketStatus = 0;
  // Answered by query text; any other text fails.
  std::map<std::u16string, FakeQuery> queries = {
      {u"SELECT * FROM Win32_ComputerSystem",
       {{{{u"Manufacturer", textProperty(u"Contoso Ltd.")}, {u"Model", textProperty(u"Model 9")}}}}},
      {u"SELECT * FROM Win32_OperatingSystem",
       {{{{u"Caption", textProperty(u"Microsoft Windows 11 Pro")}, {u"Version", textProperty(u"10.0.22631")}}}}},
      {u"SELECT * FROM Win32_ComputerSystemProduct",
       {{{{u"UUID", textProperty(u"4C4C4544-0042-3510-8052-B4C04F564433")}}}}},
  };

  // Every call in order ("initializeSecurity", "next", "release object", ...).
  std::vector<std::string> log;

  long initializeSecurity() override {
    log.push_back("initializeSecurity");
    return securityStatus;
  }
  long createLocator(WmiLocator** locator) override {
    log.push_back("createLocator");
    *locator = locatorStatus != 0 ? nullptr : make("locator");
    return locatorStatus;
  }

  bool everyObjectReleasedOnce() const {
    return std::all_of(objects_.begin(), objects_.end(),
                       [](const auto& o) { return o->releases == 1 && !o->usedAfterRelease; });
  }
  std::vector<std::string> releaseOrder() const {
    std::vector<std::string> out;
    for (const std::string& entry : log) {
      if (entry.rfind("release ", 0) == 0) out.push_back(entry.substr(8));
    }
    return out;
  }

 private:
  // One class plays every interface; `kind` names the one it was handed out
  // as. Objects stay alive after release, so a second release or a use after
  // release is seen instead of crashing the test.
  struct Object final : WmiLocator, WmiServices, WmiEnumerator, WmiClassObject {
    Object(FakeWmiSystem& owner, std::string kind, const FakeQuery* query, const FakeObject* properties)
        : owner(owner), kind(std::move(kind)), query(query), properties(properties) {}
    FakeWmiSystem& owner;
    std::string kind;
    const FakeQuery* query;        // an enumerator's
    const FakeObject* properties;  // a class object's
    std::size_t position = 0;
    int nextCalls = 0, releases = 0;
    bool usedAfterRelease = false;

    void use(const char* call) {
      usedAfterRelease |= releases > 0;
      owner.log.push_back(call);
    }
    void release() override {
      owner.log.push_back("release " + kind);
      ++releases;
    }
    long connectServer(const char16_t*, WmiServices** services) override {
      use("connectServer");
      *services = owner.connectStatus != 0 ? nullptr : owner.make("services");
      return owner.connectStatus;
    }
    long setProxyBlanket() override {
      use("setProxyBlanket");
      return owner.blanketStatus;
    }
    long execQuery(const char16_t*, const char16_t* text, long, WmiEnumerator** enumerator) override {
      use("execQuery");
      *enumerator = nullptr;
      const auto it = owner.queries.find(std::u16string(text));
      if (it == owner.queries.end()) return kWbemEFailed;
      const FakeQuery& q = it->second;
      if (q.status < 0 || !q.nullEnumerator) *enumerator = owner.make("enumerator", &q);
      return q.status;
    }
    long next(std::uint32_t, WmiClassObject** object, std::uint32_t* returned) override {
      use("next");
      *object = nullptr;
      *returned = 0;
      if (nextCalls++ == query->failingNext) return kWbemEFailed;
      if (position >= query->objects.size()) return 1;  // WBEM_S_FALSE
      *object = owner.make("object", nullptr, &query->objects[position++]);
      *returned = 1;
      return 0;
    }
    long get(const char16_t* name, std::optional<std::u16string>& text) override {
      use("get");
      const auto it = properties->find(std::u16string(name));
      text = it != properties->end() ? it->second.text : std::nullopt;
      return it != properties->end() ? it->second.status : kWbemENotFound;
    }
  };

  Object* make(std::string kind, const FakeQuery* query = nullptr, const FakeObject* properties = nullptr) {
    objects_.push_back(std::make_unique<Object>(*this, std::move(kind), query, properties));
    return objects_.back().get();
  }

  std::vector<std::unique_ptr<Object>> objects_;
};

}  // namespace quorvia::fake
