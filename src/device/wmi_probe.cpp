#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/error_info.h"
#include "device/device_record.h"
#include "device/system.h"

namespace quorvia {

namespace {

constexpr char16_t kNamespace[] = u"ROOT\\CIMV2";
constexpr char16_t kLanguage[] = u"WQL";

// One reference to a management object, released exactly once when the owner
// goes out of scope. Owners declared later are destroyed first, which gives
// the release order enumerator, services, locator on every way out.
template <class T>
class Owned {
 public:
  Owned() = default;
  ~Owned() { reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // The slot an out-parameter writes to; whatever the owner held is released
  // first, so the slot is empty when the call starts.
  T** put() {
    reset();
    return &object_;
  }
  void reset() {
    if (object_ != nullptr) std::exchange(object_, nullptr)->release();
  }

 private:
  T* object_ = nullptr;
};

struct PropertyField {
  const char16_t* property;
  std::u16string DeviceRecord::*field;
};

struct QueryStep {
  const char16_t* query;
  std::int32_t failureCode;
  PropertyField properties[2];
  int propertyCount;
};

const QueryStep kQuerySteps[] = {
    {u"SELECT * FROM Win32_ComputerSystem",
     errc::kWmiQuery,
     {{u"Manufacturer", &DeviceRecord::venderName}, {u"Model", &DeviceRecord::deviceName}},
     2},
    {u"SELECT * FROM Win32_OperatingSystem",
     errc::kWmiLaterQuery,
     {{u"Caption", &DeviceRecord::osName}, {u"Version", &DeviceRecord::osVersion}},
     2},
    {u"SELECT * FROM Win32_ComputerSystemProduct", errc::kWmiLaterQuery, {{u"UUID", &DeviceRecord::deviceId}, {}}, 1},
};

// A property that cannot be read, is null or is not a string gives empty
// text: the field always holds a plain string when the probe returns.
std::u16string propertyText(WmiClassObject& object, const char16_t* property) {
  std::optional<std::u16string> text;
  if (object.get(property, text) < 0 || !text) return {};
  const std::size_t nul = text->find(u'\0');
  if (nul != std::u16string::npos) text->resize(nul);
  return std::move(*text);
}

}  // namespace

void DeviceRecord::collectWmiInfo(WmiSystem& wmi) {
  if (wmi.initializeSecurity() < 0) throw ErrorInfo{errc::kWmiSecurity};

  // A success that hands back no object is treated as the failure of that
  // call: there is nothing to talk to.
  Owned<WmiLocator> locator;
  if (wmi.createLocator(locator.put()) < 0 || !locator) throw ErrorInfo{errc::kWmiLocator};

  Owned<WmiServices> services;
  if (locator->connectServer(kNamespace, services.put()) < 0 || !services) throw ErrorInfo{errc::kWmiConnect};

  if (services->setProxyBlanket() < 0) throw ErrorInfo{errc::kWmiProxyBlanket};

  for (const QueryStep& step : kQuerySteps) {
    Owned<WmiEnumerator> enumerator;
    if (services->execQuery(kLanguage, step.query, kWbemQueryFlags, enumerator.put()) < 0) {
      throw ErrorInfo{step.failureCode};
    }
    if (!enumerator) continue;  // no result set: the fields keep what they hold

    // Every object is read in turn, so the last one stands, and the
    // properties of one step always come from the same object.
    for (;;) {
      Owned<WmiClassObject> object;
      std::uint32_t returned = 0;
      const long status = enumerator->next(kWbemInfinite, object.put(), &returned);
      if (status < 0 || returned == 0 || !object) break;
      for (int i = 0; i < step.propertyCount; ++i) {
        this->*step.properties[i].field = propertyText(*object, step.properties[i].property);
      }
    }
  }
}

}  // namespace quorvia
