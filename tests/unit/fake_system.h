#pragma once

// Scripted stand-ins for the operating system and the cipher. Every call goes
// into one shared log ("release X" for each release); the call the log names
// in failAt fails, or only its n-th time with "call#n".

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

constexpr long kFailed = -2147217407;  // WBEM_E_FAILED

struct Log : std::vector<std::string> {
  std::string failAt;
  // False when the script makes this call fail.
  bool step(const std::string& call) {
    push_back(call);
    return failAt != call && failAt != call + "#" + std::to_string(std::count(begin(), end(), call));
  }
};

class FakeLocalSystem : public LocalSystem {
 public:
  struct Drive {
    std::uint32_t type;
    std::uint64_t totalBytes;
    std::uint32_t status = 0;  // of the size query
  };
  // What the adapter call lays out in the caller's buffer, one after another.
  struct Entry {
    const Entry* next;
    std::uint32_t length;  // as reported, which may exceed 8
    std::uint8_t bytes[16];
  };
  explicit FakeLocalSystem(Log& log) : log(log) {}

  std::u16string computerName = u"WORKSTATION-7", userName = u"alice";
  std::u16string cpuValue = std::u16string(u"Fake CPU @ 3.00GHz") + u'\0';
  std::uint32_t cpuBytesCut = 0;  // from the end of the value, for a byte count that is odd
  std::map<char, Drive> drives = {{'C', {kDriveFixed, 256060514304}}};
  std::vector<std::vector<std::uint8_t>> adapters = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
  std::size_t adaptersAppearing = 0;  // added after a call that overflowed
  Log& log;
  int keysOpen = 0;

  bool getComputerName(char16_t* o, std::uint32_t n) override { return name("getComputerName", computerName, o, n); }
  bool getUserName(char16_t* o, std::uint32_t n) override { return name("getUserName", userName, o, n); }
  long openMachineKey(const char16_t*, RegistryKey& key) override {
    if (!log.step("openMachineKey")) return 2;
    key = &++keysOpen;
    return 0;
  }
  long queryValue(RegistryKey key, const char16_t*, std::uint8_t* buffer, std::uint32_t& size) override {
    if (!log.step("queryValue") || key != &keysOpen) return 2;
    const auto bytes = static_cast<std::uint32_t>(cpuValue.size() * sizeof(char16_t) - cpuBytesCut);
    if (bytes > size) return 234;  // ERROR_MORE_DATA
    std::memcpy(buffer, cpuValue.data(), size = bytes);
    return 0;
  }
  void closeKey(RegistryKey key) override { log.push_back("release key"), keysOpen -= key == &keysOpen; }
  bool getTotalPhysicalMemory(std::uint64_t& b) override {
    return (b = 17179869184, log.step("getTotalPhysicalMemory"));
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
    totalBytes = drives.at(static_cast<char>(root[0])).totalBytes;
    return log.step("getDiskTotalBytes") ? drives.at(static_cast<char>(root[0])).status : 1117;  // ERROR_IO_DEVICE
  }
  // Lays the entries out from the start of the caller's buffer, as the real
  // call does, and says how much room they need when they do not fit.
  std::uint32_t getAdaptersAddresses(void* buffer, std::uint32_t& size) override {
    if (!log.step("getAdaptersAddresses")) return 31;  // ERROR_GEN_FAILURE
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
    size = static_cast<std::uint32_t>(adapters.size() * sizeof(Entry));  // what was written, as Linux says
    return 0;
  }
  const void* nextAdapter(const void* entry) override { return static_cast<const Entry*>(entry)->next; }
  std::uint32_t physicalAddress(const void* entry, const std::uint8_t*& bytes) override {
    bytes = static_cast<const Entry*>(entry)->bytes;
    return static_cast<const Entry*>(entry)->length;
  }

 private:
  bool name(const char* call, const std::u16string& text, char16_t* out, std::uint32_t capacity) {
    if (!log.step(call) || text.size() + 1 > capacity) return false;
    *std::copy(text.begin(), text.end(), out) = 0;
    return true;
  }
};

class FakeWmiSystem : public WmiSystem {
 public:
  // Each query's objects and their properties (nullopt: not a string); a
  // query left out succeeds without an enumerator.
  using Object = std::map<std::u16string, std::optional<std::u16string>>;
  explicit FakeWmiSystem(Log& log) : log(log) {}
  std::map<std::u16string, std::vector<Object>> queries = {
      {u"SELECT * FROM Win32_ComputerSystem", {{{u"Manufacturer", u"Contoso Ltd."}, {u"Model", u"Model 9"}}}},
      {u"SELECT * FROM Win32_OperatingSystem",
       {{{u"Caption", u"Microsoft Windows 11 Pro"}, {u"Version", u"10.0.22631"}}}},
      {u"SELECT * FROM Win32_ComputerSystemProduct", {{{u"UUID", u"4C4C4544-0042-3510-8052-B4C04F564433"}}}},
  };
  Log& log;

  long initializeSecurity() override { return log.step("initializeSecurity") ? 0 : -2147417831; }  // RPC_E_TOO_LATE
  // Fails as a success without an object: there is nothing to talk to either way.
  long createLocator(WmiLocator** locator) override {
    *locator = log.step("createLocator") ? make("locator") : nullptr;
    return *locator ? 0 : 1;
  }
  bool everyObjectReleasedOnce() const {
    return std::all_of(objects_.begin(), objects_.end(), [](const auto& o) { return o->releases == 1 && !o->late; });
  }

 private:
  // One class plays every interface. Objects stay alive after release, so a
  // second release or a use after release is seen instead of crashing.
  struct Handle final : WmiLocator, WmiServices, WmiEnumerator, WmiClassObject {
    Handle(FakeWmiSystem& owner, std::string kind, const std::vector<Object>* objects, std::size_t index)
        : owner(owner), kind(std::move(kind)), objects(objects), index(index) {}
    FakeWmiSystem& owner;
    std::string kind;
    const std::vector<Object>* objects;
    std::size_t index;  // an enumerator's position, or a class object's own index
    int releases = 0;
    bool late = false;  // used after its release

    bool use(const char* call) { return late |= releases > 0, owner.log.step(call); }
    void release() override { owner.log.push_back("release " + kind), ++releases; }
    long connectServer(const char16_t*, WmiServices** services) override {
      *services = use("connectServer") ? owner.make("services") : nullptr;
      return *services ? 0 : kFailed;
    }
    long setProxyBlanket() override { return use("setProxyBlanket") ? 0 : kFailed; }
    // A failed query still hands out an enumerator, which must be released.
    long execQuery(const char16_t*, const char16_t* text, long, WmiEnumerator** enumerator) override {
      const auto it = owner.queries.find(text);
      *enumerator = it != owner.queries.end() ? owner.make("enumerator", &it->second) : nullptr;
      return use("execQuery") ? 0 : kFailed;
    }
    long next(std::uint32_t, WmiClassObject** object, std::uint32_t* returned) override {
      const bool ok = use("next"), more = ok && index < objects->size();
      *object = more ? owner.make("object", objects, index++) : nullptr;
      *returned = more;
      return !ok ? kFailed : more ? 0 : 1;  // WBEM_S_FALSE: no more objects
    }
    long get(const char16_t* name, std::optional<std::u16string>& text) override {
      use("get");
      const auto it = (*objects)[index].find(name);
      text = it != (*objects)[index].end() ? it->second : u"stale";
      return it != (*objects)[index].end() ? 0 : kFailed;
    }
  };

  Handle* make(std::string kind, const std::vector<Object>* objects = nullptr, std::size_t index = 0) {
    objects_.push_back(std::make_unique<Handle>(*this, std::move(kind), objects, index));
    return objects_.back().get();
  }
  std::vector<std::unique_ptr<Handle>> objects_;
};

// A cipher provider whose "cipher text" is the plain text padded with zeros:
// the tests that use it are about order and codes, not about AES.
class FakeCipher final : public CipherProvider {
 public:
  explicit FakeCipher(Log& log) : log(log) {}
  Log& log;
  int held = 0;  // handles open

  bool openAlgorithm() override { return log.step("open") && ++held; }
  bool getObjectLength(std::uint32_t& bytes) override { return (bytes = 48, log.step("objectLength")); }
  bool getBlockLength(std::uint32_t& bytes) override { return (bytes = 16, log.step("blockLength")); }
  bool setChainingModeCbc() override { return log.step("chaining"); }
  bool generateKey(std::uint8_t*, std::uint32_t, const std::uint8_t*, std::uint32_t keySize) override {
    return log.step("key") && keySize == 16 && ++held;
  }
  bool encrypt(const std::uint8_t* in, std::uint32_t size, std::uint8_t*, std::uint32_t, std::uint8_t* out,
               std::uint32_t, std::uint32_t& result) override {
    result = (size / 16 + 1) * 16;
    if (out != nullptr) std::fill(std::copy(in, in + size, out), out + result, 0);
    return log.step(out ? "encrypt" : "size");
  }
  bool decrypt(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t,
               std::uint32_t&) override {
    return false;
  }
  void destroyKey() override { log.push_back("release cipher key"), --held; }
  void closeAlgorithm() override { log.push_back("release algorithm"), --held; }
};

}  // namespace quorvia::fake
