#include <nettle/aes.h>
#include <nettle/cbc.h>

#include <cstring>
#include <new>

#include "crypto/cipher_provider.h"
#include "host/secret.h"

// Nettle stands in for CNG: no provider handle can fail to open, and the key
// schedule lives in the caller's key object buffer just as CNG keeps its key
// there, so that buffer's lifetime and wiping rules apply unchanged.

namespace quorvia {

namespace {

constexpr std::uint32_t kBlock = AES_BLOCK_SIZE;

struct KeyObject {
  std::uint32_t keySize;
  union {
    aes128_ctx aes128;
    aes192_ctx aes192;
    aes256_ctx aes256;
  } encryptKey;
  union {
    aes128_ctx aes128;
    aes192_ctx aes192;
    aes256_ctx aes256;
  } decryptKey;
};

class NettleCipherProvider final : public CipherProvider {
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
    auto* k = new (keyObject) KeyObject{};
    k->keySize = keySize;
    switch (keySize) {
      case 16:
        aes128_set_encrypt_key(&k->encryptKey.aes128, key);
        aes128_invert_key(&k->decryptKey.aes128, &k->encryptKey.aes128);
        break;
      case 24:
        aes192_set_encrypt_key(&k->encryptKey.aes192, key);
        aes192_invert_key(&k->decryptKey.aes192, &k->encryptKey.aes192);
        break;
      default:
        aes256_set_encrypt_key(&k->encryptKey.aes256, key);
        aes256_invert_key(&k->decryptKey.aes256, &k->encryptKey.aes256);
        break;
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
    const void* ctx = nullptr;
    nettle_cipher_func* f = encryptFunction(ctx);
    cbc_encrypt(ctx, f, kBlock, iv, whole, output, input);
    std::uint8_t last[kBlock];
    const std::uint32_t rest = inputSize - whole;
    std::memcpy(last, input + whole, rest);
    std::memset(last + rest, static_cast<int>(kBlock - rest), kBlock - rest);
    cbc_encrypt(ctx, f, kBlock, iv, kBlock, output + whole, last);
    secureWipe(last, sizeof last);
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
    const void* ctx = nullptr;
    nettle_cipher_func* f = decryptFunction(ctx);
    cbc_decrypt(ctx, f, kBlock, iv, inputSize, output, input);
    const std::uint8_t pad = output[inputSize - 1];
    if (pad == 0 || pad > kBlock) return false;
    for (std::uint32_t i = inputSize - pad; i < inputSize; ++i) {
      if (output[i] != pad) return false;
    }
    resultSize = inputSize - pad;
    return true;
  }

  void destroyKey() override { key_ = nullptr; }
  void closeAlgorithm() override {}

 private:
  nettle_cipher_func* encryptFunction(const void*& ctx) const {
    switch (key_->keySize) {
      case 16:
        ctx = &key_->encryptKey.aes128;
        return reinterpret_cast<nettle_cipher_func*>(&aes128_encrypt);
      case 24:
        ctx = &key_->encryptKey.aes192;
        return reinterpret_cast<nettle_cipher_func*>(&aes192_encrypt);
      default:
        ctx = &key_->encryptKey.aes256;
        return reinterpret_cast<nettle_cipher_func*>(&aes256_encrypt);
    }
  }
  nettle_cipher_func* decryptFunction(const void*& ctx) const {
    switch (key_->keySize) {
      case 16:
        ctx = &key_->decryptKey.aes128;
        return reinterpret_cast<nettle_cipher_func*>(&aes128_decrypt);
      case 24:
        ctx = &key_->decryptKey.aes192;
        return reinterpret_cast<nettle_cipher_func*>(&aes192_decrypt);
      default:
        ctx = &key_->decryptKey.aes256;
        return reinterpret_cast<nettle_cipher_func*>(&aes256_decrypt);
    }
  }

  KeyObject* key_ = nullptr;
};

}  // namespace

std::unique_ptr<CipherProvider> makeSystemCipherProvider() { return std::make_unique<NettleCipherProvider>(); }

}  // namespace quorvia
