#include <mbedtls/aes.h>

#include <cstring>
#include <new>

#include "base/secret.h"
#include "crypto/cipher_provider.h"

// Mbed TLS stands in for CNG: no provider handle can fail to open, and the key
// schedules live in the caller's key object buffer just as CNG keeps its key
// there, so that buffer's lifetime and wiping rules apply unchanged. Mbed TLS
// uses AES-NI where the processor has it and its portable code elsewhere; both
// give the same bytes.

namespace quorvia {

namespace {

constexpr std::uint32_t kBlock = 16;

// An mbedtls_aes_context may point into itself (its round keys are aligned
// inside it for AES-NI), so it stays where generateKey built it.
struct KeyObject {
  mbedtls_aes_context encryptKey;
  mbedtls_aes_context decryptKey;
};

class MbedCipherProvider final : public CipherProvider {
 public:
  bool openAlgorithm() override { return true; }
  bool getObjectLength(std::uint32_t& bytes) override {
    bytes = sizeof(KeyObject);
    return true;
  }
  bool getBlockLength(std::uint32_t& bytes) override {
    bytes = kBlock;
    return true;
  }
  bool setChainingModeCbc() override { return true; }

  bool generateKey(std::uint8_t* keyObject, std::uint32_t keyObjectSize, const std::uint8_t* key,
                   std::uint32_t keySize) override {
    if (keyObjectSize < sizeof(KeyObject) || reinterpret_cast<std::uintptr_t>(keyObject) % alignof(KeyObject) != 0) {
      return false;
    }
    if (keySize != 16 && keySize != 24 && keySize != 32) return false;
    auto* k = new (keyObject) KeyObject;
    mbedtls_aes_init(&k->encryptKey);
    mbedtls_aes_init(&k->decryptKey);
    if (mbedtls_aes_setkey_enc(&k->encryptKey, key, keySize * 8) != 0 ||
        mbedtls_aes_setkey_dec(&k->decryptKey, key, keySize * 8) != 0) {
      release(k);
      return false;
    }
    key_ = k;
    return true;
  }

  bool encrypt(const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t* iv, std::uint32_t ivSize,
               std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) override {
    if (key_ == nullptr || ivSize != kBlock) return false;
    const std::uint32_t whole = inputSize / kBlock * kBlock;
    const std::uint32_t total = whole + kBlock;  // PKCS#7 always adds 1 to 16 bytes
    if (output == nullptr) {
      resultSize = total;
      return true;
    }
    if (outputSize < total) return false;
    std::uint8_t last[kBlock];
    const std::uint32_t rest = inputSize - whole;
    std::memcpy(last, input + whole, rest);
    std::memset(last + rest, static_cast<int>(kBlock - rest), kBlock - rest);
    const bool ok =
        mbedtls_aes_crypt_cbc(&key_->encryptKey, MBEDTLS_AES_ENCRYPT, whole, iv, input, output) == 0 &&
        mbedtls_aes_crypt_cbc(&key_->encryptKey, MBEDTLS_AES_ENCRYPT, kBlock, iv, last, output + whole) == 0;
    secureWipe(last, sizeof last);
    if (!ok) return false;
    resultSize = total;
    return true;
  }

  bool decrypt(const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t* iv, std::uint32_t ivSize,
               std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) override {
    if (key_ == nullptr || ivSize != kBlock || inputSize == 0 || inputSize % kBlock != 0) return false;
    if (output == nullptr) {
      resultSize = inputSize;
      return true;
    }
    if (outputSize < inputSize) return false;
    if (mbedtls_aes_crypt_cbc(&key_->decryptKey, MBEDTLS_AES_DECRYPT, inputSize, iv, input, output) != 0) {
      return false;
    }
    const std::uint8_t pad = output[inputSize - 1];
    if (pad == 0 || pad > kBlock) return false;
    for (std::uint32_t i = inputSize - pad; i < inputSize; ++i) {
      if (output[i] != pad) return false;
    }
    resultSize = inputSize - pad;
    return true;
  }

  void destroyKey() override {
    if (key_ != nullptr) release(key_);
    key_ = nullptr;
  }
  void closeAlgorithm() override {}

 private:
  // mbedtls_aes_free overwrites the whole context, round keys included, in a
  // way the optimiser keeps (mbedtls_platform_zeroize).
  static void release(KeyObject* k) {
    mbedtls_aes_free(&k->encryptKey);
    mbedtls_aes_free(&k->decryptKey);
    k->~KeyObject();
  }

  KeyObject* key_ = nullptr;
};

}  // namespace

std::unique_ptr<CipherProvider> makeSystemCipherProvider() { return std::make_unique<MbedCipherProvider>(); }

}  // namespace quorvia
