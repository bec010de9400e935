#include "crypto/encrypt.h"

#include <optional>

#include "base/error_info.h"
#include "base/text.h"
#include "crypto/base64.h"

namespace quorvia {

namespace {

// Releases one provider handle (the algorithm or the key) when it goes out of
// scope, on every path.
template <void (CipherProvider::*Release)()>
class ProviderHandle {
 public:
  explicit ProviderHandle(CipherProvider& provider) : provider_(provider) {}
  ~ProviderHandle() { (provider_.*Release)(); }
  ProviderHandle(const ProviderHandle&) = delete;
  ProviderHandle& operator=(const ProviderHandle&) = delete;

 private:
  CipherProvider& provider_;
};

using AlgorithmHandle = ProviderHandle<&CipherProvider::closeAlgorithm>;
using KeyHandle = ProviderHandle<&CipherProvider::destroyKey>;

// The provider opened, the key made and the IV bytes ready. The members are
// declared in the order they are acquired, so that they are released in the
// reverse order on every path, including a failure half-way through the
// constructor: IV bytes, key handle, key bytes, key object, algorithm.
class CipherSession {
 public:
  CipherSession(CipherProvider& provider, std::u16string_view keyText, std::u16string_view ivText)
      : provider_(provider) {
    if (!provider_.openAlgorithm()) throw ErrorInfo{errc::kCipherOpen};
    algorithm_.emplace(provider_);
    std::uint32_t objectLength = 0;
    if (!provider_.getObjectLength(objectLength)) throw ErrorInfo{errc::kCipherObjectLength};
    keyObject_.assign(objectLength, 0);
    if (!provider_.getBlockLength(blockLength_)) throw ErrorInfo{errc::kCipherBlockLength};
    if (!provider_.setChainingModeCbc()) throw ErrorInfo{errc::kCipherChainingMode};
    // A key text the locale cannot represent converts to no bytes at all,
    // which the provider rejects like any other wrong length.
    keyBytes_ = toLocaleMultibyte(keyText);
    if (!provider_.generateKey(keyObject_.data(), objectLength, keyBytes_.data(),
                               static_cast<std::uint32_t>(keyBytes_.size()))) {
      throw ErrorInfo{errc::kCipherKey};
    }
    key_.emplace(provider_);
    iv_ = toLocaleMultibyte(ivText);
    // The cipher takes exactly one block of IV; never let it read past ours.
    iv_.resize(blockLength_, 0);
  }

  CipherProvider& provider() { return provider_; }
  std::uint8_t* iv() { return iv_.data(); }
  std::uint32_t blockLength() const { return blockLength_; }

 private:
  CipherProvider& provider_;
  std::optional<AlgorithmHandle> algorithm_;
  SecretBytes keyObject_;
  std::uint32_t blockLength_ = 0;
  SecretBytes keyBytes_;
  std::optional<KeyHandle> key_;
  SecretBytes iv_;
};

}  // namespace

std::u16string encryptPayload(std::span<const std::uint8_t> plaintext, std::u16string_view keyText,
                              std::u16string_view ivText, CipherProvider& provider) {
  CipherSession session(provider, keyText, ivText);
  const auto size = static_cast<std::uint32_t>(plaintext.size());
  std::uint32_t cipherSize = 0;
  if (!provider.encrypt(plaintext.data(), size, session.iv(), session.blockLength(), nullptr, 0, cipherSize)) {
    throw ErrorInfo{errc::kCipherSize};
  }
  std::vector<std::uint8_t> cipher(cipherSize, 0);
  std::uint32_t written = 0;
  if (!provider.encrypt(plaintext.data(), size, session.iv(), session.blockLength(), cipher.data(), cipherSize,
                        written)) {
    throw ErrorInfo{errc::kCipherEncrypt};
  }
  return encodeBase64(cipher.data(), static_cast<std::int32_t>(cipherSize));
}

std::u16string encryptPayload(std::span<const std::uint8_t> plaintext, std::u16string_view keyText,
                              std::u16string_view ivText) {
  auto provider = makeSystemCipherProvider();
  return encryptPayload(plaintext, keyText, ivText, *provider);
}

SecretBytes decryptPayload(std::string_view base64Text, std::u16string_view keyText, std::u16string_view ivText,
                           CipherProvider& provider) {
  CipherSession session(provider, keyText, ivText);
  const std::optional<SecretBytes> cipher = decodeBase64(base64Text);
  if (!cipher) throw ErrorInfo{errc::kCipherEncrypt};
  const auto size = static_cast<std::uint32_t>(cipher->size());
  std::uint32_t plainSize = 0;
  if (!provider.decrypt(cipher->data(), size, session.iv(), session.blockLength(), nullptr, 0, plainSize)) {
    throw ErrorInfo{errc::kCipherSize};
  }
  SecretBytes plain(plainSize, 0);
  std::uint32_t written = 0;
  if (!provider.decrypt(cipher->data(), size, session.iv(), session.blockLength(), plain.data(), plainSize, written)) {
    throw ErrorInfo{errc::kCipherEncrypt};
  }
  plain.resize(written);
  return plain;
}

}  // namespace quorvia
