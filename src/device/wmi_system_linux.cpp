// A management service of our own for Linux: the three classes the probe asks
// for, answered from DMI, the device tree, os-release, uname and the machine
// ID. A source that is missing gives no object rather than an error, the way
// a class with no instance does on Windows.

#include "device/wmi_system_linux.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "device/file_text_linux.h"
#include "device/system.h"

namespace quorvia {

namespace {

constexpr long hresult(std::uint32_t value) { return static_cast<std::int32_t>(value); }

constexpr long kWbemSFalse = 1;
constexpr long kWbemENotFound = hresult(0x80041002);
constexpr long kWbemEInvalidNamespace = hresult(0x8004100E);
constexpr long kWbemEInvalidQuery = hresult(0x80041017);
constexpr long kWbemEInvalidQueryType = hresult(0x80041018);

class PropertySet final : public WmiClassObject {
 public:
  void add(std::u16string_view name, std::u16string value) { values_.emplace_back(name, std::move(value)); }
  bool empty() const { return values_.empty(); }

  long get(const char16_t* property, std::optional<std::u16string>& text) override {
    for (const auto& [name, value] : values_) {
      if (equalsIgnoringCase(property, name)) {
        text = value;
        return 0;
      }
    }
    text.reset();
    return kWbemENotFound;
  }
  void release() override { delete this; }

 private:
  std::vector<std::pair<std::u16string_view, std::u16string>> values_;
};

// Hands out the query's one object, if there is one, then reports the end.
class SingleObjectEnumerator final : public WmiEnumerator {
 public:
  explicit SingleObjectEnumerator(std::unique_ptr<PropertySet> object) : object_(std::move(object)) {}

  long next(std::uint32_t, WmiClassObject** object, std::uint32_t* returned) override {
    *object = object_.release();
    *returned = *object != nullptr ? 1 : 0;
    return *returned == 1 ? 0 : kWbemSFalse;
  }
  void release() override { delete this; }

 private:
  std::unique_ptr<PropertySet> object_;
};

bool readTextFile(const char* path, std::string& text) {
  if (!readSmallFile(path, text)) return false;
  dropTrailingLineFeed(text);
  return true;
}

std::unique_ptr<PropertySet> computerSystem(const std::string& root) {
  auto object = std::make_unique<PropertySet>();
  std::string text;
  if (readTextFile((root + "/sys/class/dmi/id/sys_vendor").c_str(), text)) {
    object->add(u"Manufacturer", utf16FromUtf8(text));
  }
  if (readTextFile((root + "/sys/class/dmi/id/product_name").c_str(), text)) {
    object->add(u"Model", utf16FromUtf8(text));
  } else if (readSmallFile((root + "/proc/device-tree/model").c_str(), text) ||
             readSmallFile((root + "/sys/firmware/devicetree/base/model").c_str(), text)) {
    // Device-tree strings end with a NUL, not a line feed.
    text.resize(std::min(text.find('\0'), text.size()));
    object->add(u"Model", utf16FromUtf8(text));
  }
  return object->empty() ? nullptr : std::move(object);
}

std::unique_ptr<PropertySet> operatingSystem(const std::string& root) {
  auto object = std::make_unique<PropertySet>();
  std::string content;
  constexpr std::size_t kLimit = 16384;  // os-release files are a few hundred bytes
  if (!readSmallFile((root + "/etc/os-release").c_str(), content, kLimit)) {
    readSmallFile((root + "/usr/lib/os-release").c_str(), content, kLimit);
  }
  // os-release(5): "If not set, a default of PRETTY_NAME="Linux" may be
  // used"; an empty value names nothing either (systemd's
  // os_release_pretty_name reads it so), nor does a machine without the file.
  std::optional<std::string> name = osReleaseValue(content, "PRETTY_NAME");
  object->add(u"Caption", utf16FromUtf8(name && !name->empty() ? *name : "Linux"));
  utsname system;
  if (::uname(&system) == 0) object->add(u"Version", utf16FromUtf8(system.release));
  return object->empty() ? nullptr : std::move(object);
}

std::unique_ptr<PropertySet> computerSystemProduct(const std::string& root) {
  // The firmware's product UUID would be the closer match, but only root may
  // read it: every account must see one identity for the machine, so it is
  // the machine ID, which every user can read.
  auto object = std::make_unique<PropertySet>();
  if (auto id = machineIdAsUuid(root)) object->add(u"UUID", utf16FromUtf8(*id));
  return object->empty() ? nullptr : std::move(object);
}

class LinuxServices final : public WmiServices {
 public:
  explicit LinuxServices(std::string root) : root_(std::move(root)) {}
  long setProxyBlanket() override { return 0; }

  long execQuery(const char16_t* language, const char16_t* query, long, WmiEnumerator** enumerator) override {
    *enumerator = nullptr;
    if (!equalsIgnoringCase(language, u"WQL")) return kWbemEInvalidQueryType;
    std::unique_ptr<PropertySet> object;
    if (equalsIgnoringCase(query, u"SELECT * FROM Win32_ComputerSystem")) {
      object = computerSystem(root_);
    } else if (equalsIgnoringCase(query, u"SELECT * FROM Win32_OperatingSystem")) {
      object = operatingSystem(root_);
    } else if (equalsIgnoringCase(query, u"SELECT * FROM Win32_ComputerSystemProduct")) {
      object = computerSystemProduct(root_);
    } else {
      return kWbemEInvalidQuery;
    }
    *enumerator = new SingleObjectEnumerator(std::move(object));
    return 0;
  }

  void release() override { delete this; }

 private:
  std::string root_;
};

class LinuxLocator final : public WmiLocator {
 public:
  explicit LinuxLocator(std::string root) : root_(std::move(root)) {}
  long connectServer(const char16_t* nameSpace, WmiServices** services) override {
    *services = nullptr;
    if (!equalsIgnoringCase(nameSpace, u"ROOT\\CIMV2")) return kWbemEInvalidNamespace;
    *services = new LinuxServices(root_);
    return 0;
  }
  void release() override { delete this; }

 private:
  std::string root_;
};

class LinuxWmiSystem final : public WmiSystem {
 public:
  explicit LinuxWmiSystem(std::string root) : root_(std::move(root)) {}
  // Linux has no process-wide call security to set.
  long initializeSecurity() override { return 0; }
  long createLocator(WmiLocator** locator) override {
    *locator = new LinuxLocator(root_);
    return 0;
  }

 private:
  std::string root_;
};

}  // namespace

std::optional<std::string> osReleaseValue(std::string_view content, std::string_view key) {
  std::optional<std::string> found;
  while (!content.empty()) {
    const std::size_t feed = content.find('\n');
    std::string_view line = content.substr(0, feed);
    content = feed == std::string_view::npos ? std::string_view{} : content.substr(feed + 1);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') continue;
    const std::string_view raw = line.substr(key.size() + 1);

    // Shell assignment rules; the last assignment wins, as when sourced.
    std::string value;
    std::size_t i = 0;
    while (i < raw.size()) {
      const char c = raw[i++];
      if (c == '"') {
        while (i < raw.size() && raw[i] != '"') {
          if (raw[i] == '\\' && i + 1 < raw.size() &&
              std::string_view("$\"\\`").find(raw[i + 1]) != std::string_view::npos) {
            ++i;
          }
          value.push_back(raw[i++]);
        }
        ++i;  // the closing quote
      } else if (c == '\'') {
        while (i < raw.size() && raw[i] != '\'') value.push_back(raw[i++]);
        ++i;
      } else if (c == '\\' && i < raw.size()) {
        value.push_back(raw[i++]);
      } else if (c == ' ' || c == '\t') {
        break;  // an unquoted blank ends the word
      } else {
        value.push_back(c);
      }
    }
    found = std::move(value);
  }
  return found;
}

std::optional<std::string> machineIdAsUuid(const std::string& root) {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string id;
    if (!readSmallFile((root + path).c_str(), id, 64)) continue;
    dropTrailingLineFeed(id);
    if (id.size() != 32 || id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) continue;
    std::string uuid;
    for (std::size_t i = 0; i < id.size(); ++i) {
      if (i == 8 || i == 12 || i == 16 || i == 20) uuid.push_back('-');
      const char c = id[i];
      uuid.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c);
    }
    return uuid;
  }
  return std::nullopt;
}

std::unique_ptr<WmiSystem> makeWmiSystemAt(std::string root) {
  return std::make_unique<LinuxWmiSystem>(std::move(root));
}
std::unique_ptr<WmiSystem> makeWmiSystem() { return makeWmiSystemAt(""); }

}  // namespace quorvia
