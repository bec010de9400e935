#pragma once

// Scripted stand-ins for the operating system. Each answers the way the real
// call would under the configured conditions and records what the probe logic
// asked for and what it gave back, so tests can check arguments, call order
// and that every resource is released exactly once.

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
constexpr std::uint32_t kErrorNoData = 232;

constexpr std::uint32_t kDriveRemovable = 2;
constexpr std::uint32_t kDriveRemote = 4;
constexpr std::uint32_t kDriveCdRom = 5;

constexpr long hresult(std::uint32_t value) { return static_cast<std::int32_t>(value); }
constexpr long kRpcETooLate = hresult(0x80010119);
constexpr long kWbemEFailed = hresult(0x80041001);
constexpr long kWbemENotFound = hresult(0x80041002);
constexpr long kWbemSFalse = 1;

// The bytes of a UTF-16 text as a registry value holds them.
inline std::vector<std::uint8_t> utf16Bytes(std::u16string_view text) {
  std::vector<std::uint8_t> bytes(text.size() * sizeof(char16_t));
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

inline std::u16string text16(const char16_t* text) { return text != nullptr ? std::u16string(text) : u"(null)"; }

class FakeLocalSystem : public LocalSystem {
 public:
  struct Drive {
    std::uint32_t type = kDriveFixed;
    std::optional<std::uint64_t> totalBytes;  // nullopt: the size query fails
  };

  // ---- What the system answers (nullopt: the call fails). ----
  std::optional<std::u16string> computerName = u"WORKSTATION-7";
  std::optional<std::u16string> userName = u"alice";
  long openStatus = 0;
  // Overrides the status of the value query when not 0; otherwise the value
  // is returned, or ERROR_MORE_DATA when it does not fit.
  long queryStatus = 0;
  std::vector<std::uint8_t> cpuValue = utf16Bytes(std::u16string(u"Fake CPU @ 3.00GHz") + u'\0');
  std::optional<std::uint64_t> physicalMemory = std::uint64_t{17179869184};
  std::map<char, Drive> drives = {{'C', {kDriveFixed, 256060514304}}};
  std::uint32_t adapterStatus = 0;  // when not 0, returned without writing
  std::vector<std::vector<std::uint8_t>> adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};

  // ---- What the logic did. ----
  std::vector<std::string> calls;
  std::uint32_t computerNameCapacity = 0;
  std::uint32_t userNameCapacity = 0;
  std::u16string keyPath;
  std::u16string valueName;
  std::uint32_t valueSizeGiven = 0;
  int keysOpened = 0;
  int keysClosed = 0;
  bool wrongKeyUsed = false;
  std::vector<std::u16string> driveTypePaths;
  std::vector<std::u16string> sizePaths;
  struct AdapterCall {
    const void* buffer;
    std::uint32_t size;
    bool zeroFilled;
  };
  std::vector<AdapterCall> adapterCalls;

  bool called(const std::string& name) const { return std::find(calls.begin(), calls.end(), name) != calls.end(); }

  bool getComputerName(char16_t* buffer, std::uint32_t capacity) override {
    calls.push_back("getComputerName");
    computerNameCapacity = capacity;
    return writeName(computerName, buffer, capacity);
  }

  bool getUserName(char16_t* buffer, std::uint32_t capacity) override {
    calls.push_back("getUserName");
    userNameCapacity = capacity;
    return writeName(userName, buffer, capacity);
  }

  long openMachineKey(const char16_t* path, RegistryKey& key) override {
    calls.push_back("openMachineKey");
    keyPath = text16(path);
    if (openStatus != 0) return openStatus;
    ++keysOpened;
    key = &keyHandle_;
    return 0;
  }

  long queryValue(RegistryKey key, const char16_t* name, std::uint8_t* buffer, std::uint32_t& size) override {
    calls.push_back("queryValue");
    if (key != &keyHandle_ || keysClosed >= keysOpened) wrongKeyUsed = true;
    valueName = text16(name);
    valueSizeGiven = size;
    if (queryStatus != 0) return queryStatus;
    if (cpuValue.size() > size) {
      size = static_cast<std::uint32_t>(cpuValue.size());
      return kErrorMoreData;
    }
    std::copy(cpuValue.begin(), cpuValue.end(), buffer);
    size = static_cast<std::uint32_t>(cpuValue.size());
    return 0;
  }

  void closeKey(RegistryKey key) override {
    calls.push_back("closeKey");
    if (key != &keyHandle_) wrongKeyUsed = true;
    ++keysClosed;
  }

  bool getTotalPhysicalMemory(std::uint64_t& bytes) override {
    calls.push_back("getTotalPhysicalMemory");
    if (!physicalMemory) return false;
    bytes = *physicalMemory;
    return true;
  }

  std::uint32_t getLogicalDrives() override {
    calls.push_back("getLogicalDrives");
    std::uint32_t mask = 0;
    for (const auto& [letter, drive] : drives) mask |= std::uint32_t{1} << (letter - 'A');
    return mask;
  }

  std::uint32_t getDriveType(const char16_t* rootPath) override {
    calls.push_back("getDriveType");
    driveTypePaths.push_back(text16(rootPath));
    const Drive* drive = driveAt(rootPath);
    return drive != nullptr ? drive->type : 1;  // DRIVE_NO_ROOT_DIR
  }

  bool getDiskTotalBytes(const char16_t* rootPath, std::uint64_t& totalBytes) override {
    calls.push_back("getDiskTotalBytes");
    sizePaths.push_back(text16(rootPath));
    const Drive* drive = driveAt(rootPath);
    if (drive == nullptr || !drive->totalBytes) return false;
    totalBytes = *drive->totalBytes;
    return true;
  }

  // Lays the entries out from the start of the caller's buffer, as the real
  // call does, and fails when they do not fit.
  std::uint32_t getAdaptersAddresses(void* buffer, std::uint32_t& size) override {
    calls.push_back("getAdaptersAddresses");
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    adapterCalls.push_back({buffer, size, std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; })});
    if (adapterStatus != 0) return adapterStatus;
    if (adapters.empty()) return kErrorNoData;
    const std::size_t needed = adapters.size() * sizeof(Entry);
    if (needed > size) {
      size = static_cast<std::uint32_t>(needed);
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
    const auto* e = static_cast<const Entry*>(entry);
    bytes = e->bytes;
    return e->length;
  }

 private:
  struct Entry {
    const Entry* next;
    std::uint32_t length;  // as reported, which may exceed 8
    std::uint8_t bytes[16];
  };

  static bool writeName(const std::optional<std::u16string>& name, char16_t* buffer, std::uint32_t capacity) {
    if (!name || name->size() + 1 > capacity) return false;
    std::copy(name->begin(), name->end(), buffer);
    buffer[name->size()] = 0;
    return true;
  }

  const Drive* driveAt(const char16_t* rootPath) const {
    const std::u16string path = text16(rootPath);
    if (path.size() != 3 || path[1] != u':' || path[2] != u'\\') return nullptr;
    const auto it = drives.find(static_cast<char>(path[0]));
    return it != drives.end() ? &it->second : nullptr;
  }

  int keyHandle_ = 0;
};

// ---------------------------------------------------------------------------

// One property as a class object answers it.
struct FakeProperty {
  long status = 0;                     // status of Get
  std::optional<std::u16string> text;  // nullopt: null or not a string
};
using FakeObject = std::map<std::u16string, FakeProperty>;

inline FakeProperty textProperty(std::u16string text) { return {0, std::move(text)}; }

struct FakeQuery {
  long status = 0;                       // status of ExecQuery
  bool nullEnumerator = false;           // success, but no enumerator
  bool enumeratorEvenOnFailure = false;  // a failing call that still hands one out
  std::vector<FakeObject> objects;
  int failingNext = -1;  // index of the Next call that fails (no object)
};

class FakeWmiSystem : public WmiSystem {
 public:
  // Results of the calls before any query.
  long securityStatus = 0;
  long locatorStatus = 0;
  long connectStatus = 0;
  long blanketStatus = 0;
  // Answered by query text; any other text fails like an invalid query.
  std::map<std::u16string, FakeQuery> queries = {
      {u"SELECT * FROM Win32_ComputerSystem",
       {0, false, false, {{{u"Manufacturer", textProperty(u"Contoso Ltd.")}, {u"Model", textProperty(u"Model 9")}}}}},
      {u"SELECT * FROM Win32_OperatingSystem",
       {0,
        false,
        false,
        {{{u"Caption", textProperty(u"Microsoft Windows 11 Pro")}, {u"Version", textProperty(u"10.0.22631")}}}}},
      {u"SELECT * FROM Win32_ComputerSystemProduct",
       {0, false, false, {{{u"UUID", textProperty(u"4C4C4544-0042-3510-8052-B4C04F564433")}}}}},
  };

  // Every call in order ("execQuery", "next", "get Model", "release
  // enumerator", ...), and the arguments that matter.
  std::vector<std::string> log;
  std::u16string nameSpace;
  struct QueryCall {
    std::u16string language;
    std::u16string query;
    long flags;
  };
  std::vector<QueryCall> queryCalls;
  std::vector<std::uint32_t> nextTimeouts;

  ~FakeWmiSystem() override = default;

  long initializeSecurity() override {
    log.push_back("initializeSecurity");
    return securityStatus;
  }

  long createLocator(WmiLocator** locator) override {
    log.push_back("createLocator");
    *locator = nullptr;
    if (locatorStatus < 0) return locatorStatus;
    *locator = track(std::make_unique<Locator>(*this));
    return locatorStatus;
  }

  // Each object handed out, in order, with how often it was released.
  struct Handed {
    std::string kind;
    int releases;
    bool usedAfterRelease;
  };
  std::vector<Handed> handedOut() const {
    std::vector<Handed> out;
    for (const auto& o : objects_) out.push_back({o->kind, o->releases, o->usedAfterRelease});
    return out;
  }
  bool everyObjectReleasedOnce() const {
    return std::all_of(objects_.begin(), objects_.end(),
                       [](const auto& o) { return o->releases == 1 && !o->usedAfterRelease; });
  }
  // The kinds in the order they were released.
  std::vector<std::string> releaseOrder() const {
    std::vector<std::string> out;
    for (const std::string& entry : log) {
      if (entry.rfind("release ", 0) == 0) out.push_back(entry.substr(8));
    }
    return out;
  }

 private:
  struct Tracked {
    explicit Tracked(FakeWmiSystem& owner, std::string kind) : owner(owner), kind(std::move(kind)) {}
    virtual ~Tracked() = default;
    void use() {
      if (releases > 0) usedAfterRelease = true;
    }
    void releaseOnce() {
      owner.log.push_back("release " + kind);
      ++releases;
    }
    FakeWmiSystem& owner;
    std::string kind;
    int releases = 0;
    bool usedAfterRelease = false;
  };

  struct ClassObject final : WmiClassObject, Tracked {
    ClassObject(FakeWmiSystem& owner, FakeObject properties)
        : Tracked(owner, "object"), properties(std::move(properties)) {}
    long get(const char16_t* property, std::optional<std::u16string>& text) override {
      use();
      const std::u16string name = text16(property);
      owner.log.push_back("get " + std::string(name.begin(), name.end()));
      const auto it = properties.find(name);
      if (it == properties.end()) {
        text.reset();
        return kWbemENotFound;
      }
      text = it->second.text;
      return it->second.status;
    }
    void release() override { releaseOnce(); }
    FakeObject properties;
  };

  struct Enumerator final : WmiEnumerator, Tracked {
    Enumerator(FakeWmiSystem& owner, const FakeQuery& query) : Tracked(owner, "enumerator"), query(query) {}
    long next(std::uint32_t timeout, WmiClassObject** object, std::uint32_t* returned) override {
      use();
      owner.log.push_back("next");
      owner.nextTimeouts.push_back(timeout);
      *object = nullptr;
      *returned = 0;
      const int call = calls++;
      if (call == query.failingNext) return kWbemEFailed;
      if (position >= query.objects.size()) return kWbemSFalse;
      *object = owner.track(std::make_unique<ClassObject>(owner, query.objects[position++]));
      *returned = 1;
      return 0;
    }
    void release() override { releaseOnce(); }
    const FakeQuery& query;
    std::size_t position = 0;
    int calls = 0;
  };

  struct Services final : WmiServices, Tracked {
    explicit Services(FakeWmiSystem& owner) : Tracked(owner, "services") {}
    long setProxyBlanket() override {
      use();
      owner.log.push_back("setProxyBlanket");
      return owner.blanketStatus;
    }
    long execQuery(const char16_t* language, const char16_t* query, long flags, WmiEnumerator** enumerator) override {
      use();
      owner.log.push_back("execQuery");
      owner.queryCalls.push_back({text16(language), text16(query), flags});
      *enumerator = nullptr;
      const auto it = owner.queries.find(text16(query));
      if (it == owner.queries.end()) return kWbemEFailed;
      const FakeQuery& q = it->second;
      const bool handsOne = q.status >= 0 ? !q.nullEnumerator : q.enumeratorEvenOnFailure;
      if (handsOne) *enumerator = owner.track(std::make_unique<Enumerator>(owner, q));
      return q.status;
    }
    void release() override { releaseOnce(); }
  };

  struct Locator final : WmiLocator, Tracked {
    explicit Locator(FakeWmiSystem& owner) : Tracked(owner, "locator") {}
    long connectServer(const char16_t* nameSpace, WmiServices** services) override {
      use();
      owner.log.push_back("connectServer");
      owner.nameSpace = text16(nameSpace);
      *services = nullptr;
      if (owner.connectStatus < 0) return owner.connectStatus;
      *services = owner.track(std::make_unique<Services>(owner));
      return owner.connectStatus;
    }
    void release() override { releaseOnce(); }
  };

  template <class T>
  T* track(std::unique_ptr<T> object) {
    T* raw = object.get();
    objects_.push_back(std::move(object));
    return raw;
  }

  // Objects stay alive after release, so a second release or a use after
  // release is seen instead of crashing the test.
  std::vector<std::unique_ptr<Tracked>> objects_;
};

}  // namespace quorvia::fake
