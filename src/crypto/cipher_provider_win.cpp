#include <windows.h>  // first: the other Windows headers rely on it

#include <bcrypt.h>

#include <type_traits>

#include "base/system_dll_win.h"
#include "crypto/cipher_provider.h"

// Thin CNG calls; the order, the codes and the releases are the caller's.

namespace quorvia {

namespace {

// CNG's functions, from System32's bcrypt.dll (not a KnownDLL: see
// systemDllFunction); all of them or none.
struct Cng {
  decltype(&::BCryptOpenAlgorithmProvider) open = nullptr;
  decltype(&::BCryptGetProperty) getProperty = nullptr;
  decltype(&::BCryptSetProperty) setProperty = nullptr;
  decltype(&::BCryptGenerateSymmetricKey) generateKey = nullptr;
  decltype(&::BCryptEncrypt) encrypt = nullptr;
  decltype(&::BCryptDecrypt) decrypt = nullptr;
  decltype(&::BCryptDestroyKey) destroyKey = nullptr;
  decltype(&::BCryptCloseAlgorithmProvider) close = nullptr;

  static const Cng* get() {
    static const Cng cng = [] {
      Cng c;
      const auto load = [](auto& f, const char* name) {
        f = systemDllFunction<std::remove_reference_t<decltype(f)>>(L"bcrypt.dll", name);
        return f != nullptr;
      };
      const bool all = load(c.open, "BCryptOpenAlgorithmProvider") && load(c.getProperty, "BCryptGetProperty") &&
                       load(c.setProperty, "BCryptSetProperty") && load(c.generateKey, "BCryptGenerateSymmetricKey") &&
                       load(c.encrypt, "BCryptEncrypt") && load(c.decrypt, "BCryptDecrypt") &&
                       load(c.destroyKey, "BCryptDestroyKey") && load(c.close, "BCryptCloseAlgorithmProvider");
      if (!all) c.open = nullptr;
      return c;
    }();
    return cng.open != nullptr ? &cng : nullptr;
  }
};

class CngCipherProvider final : public CipherProvider {
 public:
  // Without CNG the first step fails (21) and no handle ever exists, so the
  // later calls are never reached with one.
  bool openAlgorithm() override {
    return cng_ != nullptr && BCRYPT_SUCCESS(cng_->open(&algorithm_, BCRYPT_AES_ALGORITHM, nullptr, 0));
  }
  bool getObjectLength(std::uint32_t& bytes) override { return getProperty(BCRYPT_OBJECT_LENGTH, bytes); }
  bool getBlockLength(std::uint32_t& bytes) override { return getProperty(BCRYPT_BLOCK_LENGTH, bytes); }
  bool setChainingModeCbc() override {
    // The value is handed over with its terminating NUL: 32 bytes.
    return BCRYPT_SUCCESS(cng_->setProperty(algorithm_, BCRYPT_CHAINING_MODE,
                                            reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                                            sizeof(BCRYPT_CHAIN_MODE_CBC), 0));
  }
  bool generateKey(std::uint8_t* keyObject, std::uint32_t keyObjectSize, const std::uint8_t* key,
                   std::uint32_t keySize) override {
    // Windows refuses every AES key length but these three; Wine quietly
    // takes the first 32 bytes of a longer key. Refuse here too, so the
    // extension gets the same answer wherever the host runs.
    if (keySize != 16 && keySize != 24 && keySize != 32) return false;
    return BCRYPT_SUCCESS(
        cng_->generateKey(algorithm_, &key_, keyObject, keyObjectSize, const_cast<PUCHAR>(key), keySize, 0));
  }
  bool encrypt(const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t* iv, std::uint32_t ivSize,
               std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) override {
    return cipher(cng_->encrypt, input, inputSize, iv, ivSize, output, outputSize, resultSize);
  }
  bool decrypt(const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t* iv, std::uint32_t ivSize,
               std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) override {
    return cipher(cng_->decrypt, input, inputSize, iv, ivSize, output, outputSize, resultSize);
  }
  void destroyKey() override {
    if (key_ != nullptr) cng_->destroyKey(key_);
    key_ = nullptr;
  }
  void closeAlgorithm() override {
    if (algorithm_ != nullptr) cng_->close(algorithm_, 0);
    algorithm_ = nullptr;
  }

 private:
  // BCryptEncrypt and BCryptDecrypt take the same arguments; with a null
  // output they only report the size.
  template <class Call>
  bool cipher(Call call, const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t* iv, std::uint32_t ivSize,
              std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) {
    ULONG result = 0;
    const NTSTATUS status = call(key_, const_cast<PUCHAR>(input), inputSize, nullptr, iv, ivSize, output,
                                 output ? outputSize : 0, &result, BCRYPT_BLOCK_PADDING);
    resultSize = result;
    return BCRYPT_SUCCESS(status);
  }

  bool getProperty(LPCWSTR name, std::uint32_t& value) {
    DWORD v = 0;
    ULONG written = 0;
    const NTSTATUS status = cng_->getProperty(algorithm_, name, reinterpret_cast<PUCHAR>(&v), sizeof(v), &written, 0);
    value = v;
    return BCRYPT_SUCCESS(status);
  }

  const Cng* cng_ = Cng::get();
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_KEY_HANDLE key_ = nullptr;
};

}  // namespace

std::unique_ptr<CipherProvider> makeSystemCipherProvider() { return std::make_unique<CngCipherProvider>(); }

}  // namespace quorvia
