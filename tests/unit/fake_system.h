#pragma once

// Scripted stand-ins for the operating system and the cipher, writing every
// call into one shared log ("release X" for each release).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/cipher_provider.h"
#include "device/system.h"

namespace quorvia::fake {

using Log = std::vector<std::string>;
constexpr long kFailed = -2147217407;  // WBEM_E_FAILED

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
  explicit FakeLocalSystem(Log& log) : log(log) {}

  // What the system answers; nullopt or a non-zero status makes the call fail.
  std::optional<std::u16string> computerName = u"WORKSTATION-7", userName = u"alice";
  long openStatus = 0, queryStatus = 0;
  std::vector<std::uint8_t> cpuValue = utf16Bytes(std::u16string(u"Fake CPU @ 3.00GHz") + u'\0');
  std::optional<std::uint64_t> physicalMemory = std::uint64_t{17179869184};
  std::map<char, Drive> drives = {{'C', {kDriveFixed, 256060514304}}};
  std::uint32_t adapterStatus = 0;
  std::vector<std::vector<std::uint8_t>> adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
  std::size_t adaptersAppearing = 0;  // added after a call that overflowed

  Log& log;
  int keysOpen = 0;
  bool wrongKeyUsed = false, adapterBufferZeroFilled = true;

  bool getComputerName(char16_t* out, std::uint32_t n) override {
    return name("getComputerName", computerName, out, n);
  }
  bool getUserName(char16_t* out, std::uint32_t n) override { return name("getUserName", userName, out, n); }
  long openMachineKey(const char16_t*, RegistryKey& key) override {
    log.push_back("openMachineKey");
    if (openStatus != 0) return openStatus;
    ++keysOpen;
    key = &keysOpen;
    return 0;
  }
  long queryValue(RegistryKey key, const char16_t*, std::uint8_t* buffer, std::uint32_t& size) override {
    log.push_back("queryValue");
    wrongKeyUsed |= key != &keysOpen || keysOpen != 1;
    if (queryStatus != 0) return queryStatus;
    if (cpuValue.size() > size) return 234;  // ERROR_MORE_DATA
    std::copy(cpuValue.begin(), cpuValue.end(), buffer);
    size = static_cast<std::uint32_t>(cpuValue.size());
    return 0;
  }
  void closeKey(RegistryKey key) override {
    log.push_back("release key");
    wrongKeyUsed |= key != &keysOpen;
    --keysOpen;
  }
  bool getTotalPhysicalMemory(std::uint64_t& bytes) override {
    log.push_back("getTotalPhysicalMemory");
    return physicalMemory && (bytes = *physicalMemory, true);
  }
  std::uint32_t getLogicalDrives() override {
    log.push_back("getLogicalDrives");
    std::uint32_t mask = 0;
    for (const auto& drive : drives) mask |= std::uint32_t{1} << (drive.first - 'A');
    return mask;
  }
  std::uint32_t getDriveType(const char16_t* root) override {
    const auto it = drives.find(static_cast<char>(root[0]));
    return it != drives.end() && std::u16string(root + 1) == u":\\" ? it->second.type : 1;
  }
  std::uint32_t getDiskTotalBytes(const char16_t* root, std::uint64_t& totalBytes) override {
    log.push_back("getDiskTotalBytes");
    const Drive& drive = drives.at(static_cast<char>(root[0]));
    return drive.totalBytes ? (totalBytes = *drive.totalBytes, 0) : drive.failure;
  }
  // Lays the entries out from the start of the caller's buffer, as the real
  // call does, and says how much room they need when they do not fit.
  std::uint32_t getAdaptersAddresses(void* buffer, std::uint32_t& size) override {
    log.push_back("getAdaptersAddresses");
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    adapterBufferZeroFilled &= std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
    if (adapterStatus != 0) return adapterStatus;
    if (adapters.size() * sizeof(Entry) > size) {
      size = static_cast<std::uint32_t>(adapters.size() * sizeof(Entry));
      adapters.resize(adapters.size() + adaptersAppearing, {2, 0, 0, 0, 0, 1});
      return kErrorBufferOverflow;
    }
    auto* entries = static_cast<Entry*>(buffer);
    for (std::size_t i = 0; i < adapters.size(); ++i) {
      entries[i] = {
          i + 1 < adapters.size() ? &entries[i + 1] : nullptr, static_cast<std::uint32_t>(adapters[i].size()), {}};
      std::copy_n(adapters[i].begin(), std::min<std::size_t>(adapters[i].size(), 16), entries[i].bytes);
    }
    return 0;
  }
  const void* nextAdapter(const void* entry) override { return static_cast<const Entry*>(entry)->next; }
  std::uint32_t physicalAddress(const void* entry, const std::uint8_t*& bytes) override {
    bytes = static_cast<const Entry*>(entry)->bytes;
    return static_cast<const Entry*>(entry)->length;
  }

 private:
  bool name(const char* call, const std::optional<std::u16string>& text, char16_t* out, std::uint32_t capacity) {
    log.push_back(call);
    if (!text || text->size() + 1 > capacity) return false;
    *std::copy(text->begin(), text->end(), out) = 0;
    return true;
  }
};

// A query's result set: the objects' properties (nullopt: not a string), the
// status of ExecQuery, and the index of the Next call that fails.
struct FakeQuery {
  std::vector<std::map<std::u16string, std::optional<std::u16string>>> objects;
  long status = 0;
  bool nullEnumerator = false;  // success without an enumerator
  int failingNext = -1;
};

class FakeWmiSystem : public WmiSystem {
 public:
  explicit FakeWmiSystem(Log& log) : log(log) {}
  // A non-zero status hands out nothing: below 0 a failure, above it a
  // success without an object.
  long securityStatus = 0, locatorStatus = 0, connectStatus = 0, blanketStatus = 0;
  std::map<std::u16string, FakeQuery> queries = {
      {u"SELECT * FROM Win32_ComputerSystem", {{{{u"Manufacturer", u"Contoso Ltd."}, {u"Model", u"Model 9"}}}}},
      {u"SELECT * FROM Win32_OperatingSystem",
       {{{{u"Caption", u"Microsoft Windows 11 Pro"}, {u"Version", u"10.0.22631"}}}}},
      {u"SELECT * FROM Win32_ComputerSystemProduct", {{{{u"UUID", u"4C4C4544-0042-3510-8052-B4C04F564433"}}}}},
  };
  Log& log;

  long initializeSecurity() override { return log.push_back("initializeSecurity"), securityStatus; }
  long createLocator(WmiLocator** locator) override {
    log.push_back("createLocator");
    *locator = locatorStatus != 0 ? nullptr : make("locator");
    return locatorStatus;
  }
  bool everyObjectReleasedOnce() const {
    return std::all_of(objects_.begin(), objects_.end(), [](const auto& o) { return o->releases == 1 && !o->late; });
  }

 private:
  // One class plays every interface. Objects stay alive after release, so a
  // second release or a use after release is seen instead of crashing.
  struct Object final : WmiLocator, WmiServices, WmiEnumerator, WmiClassObject {
    Object(FakeWmiSystem& owner, std::string kind, const FakeQuery* query, const FakeQuery* object = nullptr,
           std::size_t index = 0)
        : owner(owner), kind(std::move(kind)), query(query ? query : object), index(index) {}
    FakeWmiSystem& owner;
    std::string kind;
    const FakeQuery* query;
    std::size_t index;  // an enumerator's position, or a class object's own index
    int nextCalls = 0, releases = 0;
    bool late = false;  // used after its release

    void use(const char* call) { late |= releases > 0, owner.log.push_back(call); }
    void release() override { owner.log.push_back("release " + kind), ++releases; }
    long connectServer(const char16_t*, WmiServices** services) override {
      use("connectServer");
      *services = owner.connectStatus != 0 ? nullptr : owner.make("services");
      return owner.connectStatus;
    }
    long setProxyBlanket() override { return use("setProxyBlanket"), owner.blanketStatus; }
    long execQuery(const char16_t*, const char16_t* text, long, WmiEnumerator** enumerator) override {
      use("execQuery");
      const FakeQuery& q = owner.queries.at(text);
      *enumerator = q.status < 0 || !q.nullEnumerator ? owner.make("enumerator", &q) : nullptr;
      return q.status;
    }
    long next(std::uint32_t, WmiClassObject** object, std::uint32_t* returned) override {
      use("next");
      *object = nullptr;
      *returned = 0;
      if (nextCalls++ == query->failingNext) return kFailed;
      if (index >= query->objects.size()) return 1;  // WBEM_S_FALSE
      *object = owner.make("object", nullptr, query, index++);
      *returned = 1;
      return 0;
    }
    long get(const char16_t* name, std::optional<std::u16string>& text) override {
      use("get");
      const auto& properties = query->objects[index];
      const auto it = properties.find(name);
      text = it != properties.end() ? it->second : u"stale";
      return it != properties.end() ? 0 : kFailed;
    }
  };

  Object* make(std::string kind, const FakeQuery* query = nullptr, const FakeQuery* object = nullptr,
               std::size_t index = 0) {
    objects_.push_back(std::make_unique<Object>(*this, std::move(kind), query, object, index));
    return objects_.back().get();
  }
  std::vector<std::unique_ptr<Object>> objects_;
};

// A cipher provider that fails at one chosen step. Its "cipher text" is the
// plain text padded with zeros: the tests that use it are about order and
// codes, not about AES.
class FakeCipher final : public CipherProvider {
 public:
  FakeCipher(Log& log, std::string failAt) : log(log), failAt(std::move(failAt)) {}
  Log& log;
  std::string failAt;
  int held = 0;  // handles open

  bool openAlgorithm() override { return step("open") && ++held; }
  bool getObjectLength(std::uint32_t& bytes) override { return (bytes = 48, step("objectLength")); }
  bool getBlockLength(std::uint32_t& bytes) override { return (bytes = 16, step("blockLength")); }
  bool setChainingModeCbc() override { return step("chaining"); }
  bool generateKey(std::uint8_t*, std::uint32_t, const std::uint8_t*, std::uint32_t keySize) override {
    return step("key") && keySize == 16 && ++held;
  }
  bool encrypt(const std::uint8_t* in, std::uint32_t size, std::uint8_t*, std::uint32_t, std::uint8_t* out,
               std::uint32_t, std::uint32_t& result) override {
    result = (size / 16 + 1) * 16;
    if (out != nullptr) std::fill(std::copy(in, in + size, out), out + result, 0);
    return step(out ? "encrypt" : "size");
  }
  bool decrypt(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t,
               std::uint32_t&) override {
    return false;
  }
  void destroyKey() override { release("cipher key"); }
  void closeAlgorithm() override { release("algorithm"); }

 private:
  bool step(const std::string& name) { return log.push_back(name), name != failAt; }
  void release(const std::string& what) { log.push_back("release " + what), --held; }
};

}  // namespace quorvia::fake
