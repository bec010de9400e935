// The management service through COM: each interface the probe holds is one
// of these thin wrappers around the real WMI interface, and every interface
// pointer, BSTR and VARIANT here lives in a scoped owner.

// clang-format off
#include <windows.h>  // first: the COM headers rely on it
// clang-format on
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <algorithm>
#include <new>
#include <utility>

#include "device/system.h"

namespace quorvia {

namespace {

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// One reference to a COM interface, released once.
template <class Interface>
class ComRef {
 public:
  ComRef() = default;
  ComRef(ComRef&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComRef& operator=(ComRef&&) = delete;
  ~ComRef() {
    if (pointer_ != nullptr) pointer_->Release();
  }

  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  Interface** put() { return &pointer_; }

 private:
  Interface* pointer_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const char16_t* text) : text_(::SysAllocString(wide(text))) {
    if (text_ == nullptr) throw std::bad_alloc();
  }
  ~Bstr() { ::SysFreeString(text_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const { return text_; }

 private:
  BSTR text_;
};

// A property's value is a device value of the document. VariantClear hands
// its BSTR to SysFreeString, which frees it, or keeps it in the automation
// string cache, as it is; SysStringByteLen is its length in bytes without
// the terminating NUL (Microsoft Learn: VariantClear, SysFreeString,
// SysStringByteLen).
class Variant {
 public:
  Variant() { ::VariantInit(&value_); }
  ~Variant() {
    if (value_.vt == VT_BSTR && value_.bstrVal != nullptr) {
      ::SecureZeroMemory(value_.bstrVal, ::SysStringByteLen(value_.bstrVal));
    }
    ::VariantClear(&value_);
  }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

class WindowsClassObject final : public WmiClassObject {
 public:
  explicit WindowsClassObject(ComRef<IWbemClassObject> object) : object_(std::move(object)) {}

  long get(const char16_t* property, std::optional<std::u16string>& text) override {
    text.reset();
    Variant value;
    const HRESULT status = object_->Get(wide(property), 0, value.get(), nullptr, nullptr);
    // A null BSTR is a valid empty string to COM, but there is nothing to copy.
    if (SUCCEEDED(status) && value.get()->vt == VT_BSTR && value.get()->bstrVal != nullptr) {
      const BSTR s = value.get()->bstrVal;
      const wchar_t* end = std::find(s, s + ::SysStringLen(s), L'\0');
      text.emplace(reinterpret_cast<const char16_t*>(s), static_cast<std::size_t>(end - s));
    }
    return status;
  }

  void release() override { delete this; }

 private:
  ComRef<IWbemClassObject> object_;
};

class WindowsEnumerator final : public WmiEnumerator {
 public:
  explicit WindowsEnumerator(ComRef<IEnumWbemClassObject> enumerator) : enumerator_(std::move(enumerator)) {}

  long next(std::uint32_t timeout, WmiClassObject** object, std::uint32_t* returned) override {
    *object = nullptr;
    *returned = 0;
    ComRef<IWbemClassObject> found;
    ULONG count = 0;
    const HRESULT status = enumerator_->Next(static_cast<long>(timeout), 1, found.put(), &count);
    if (count != 0 && found) {
      *object = new WindowsClassObject(std::move(found));
      *returned = 1;
    }
    return status;
  }

  void release() override { delete this; }

 private:
  ComRef<IEnumWbemClassObject> enumerator_;
};

class WindowsServices final : public WmiServices {
 public:
  explicit WindowsServices(ComRef<IWbemServices> services) : services_(std::move(services)) {}

  long setProxyBlanket() override {
    return ::CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  }

  long execQuery(const char16_t* language, const char16_t* query, long flags, WmiEnumerator** enumerator) override {
    *enumerator = nullptr;
    ComRef<IEnumWbemClassObject> found;
    HRESULT status;
    {
      const Bstr languageText(language);
      const Bstr queryText(query);
      status = services_->ExecQuery(languageText.get(), queryText.get(), flags, nullptr, found.put());
    }
    if (found) *enumerator = new WindowsEnumerator(std::move(found));
    return status;
  }

  void release() override { delete this; }

 private:
  ComRef<IWbemServices> services_;
};

class WindowsLocator final : public WmiLocator {
 public:
  explicit WindowsLocator(ComRef<IWbemLocator> locator) : locator_(std::move(locator)) {}

  long connectServer(const char16_t* nameSpace, WmiServices** services) override {
    *services = nullptr;
    ComRef<IWbemServices> found;
    HRESULT status;
    {
      const Bstr nameSpaceText(nameSpace);
      status =
          locator_->ConnectServer(nameSpaceText.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, found.put());
    }
    if (found) *services = new WindowsServices(std::move(found));
    return status;
  }

  void release() override { delete this; }

 private:
  ComRef<IWbemLocator> locator_;
};

class WindowsWmiSystem final : public WmiSystem {
 public:
  long initializeSecurity() override {
    return ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                  nullptr, EOAC_NONE, nullptr);
  }

  long createLocator(WmiLocator** locator) override {
    *locator = nullptr;
    ComRef<IWbemLocator> found;
    const HRESULT status = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                              reinterpret_cast<void**>(found.put()));
    if (found) *locator = new WindowsLocator(std::move(found));
    return status;
  }
};

}  // namespace

std::unique_ptr<WmiSystem> makeWmiSystem() { return std::make_unique<WindowsWmiSystem>(); }

}  // namespace quorvia
