#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/cipher_provider.h"

namespace quorvia::testing {

// A cipher provider that records every call and fails at a chosen one
// ("open", "objectLength", "blockLength", "chaining", "key", "size",
// "encrypt"). Its "cipher text" is the plain text, padded: the tests that use
// it are about order and codes, not about AES.
class RecordingProvider final : public CipherProvider {
 public:
  explicit RecordingProvider(std::string failAt = "") : failAt_(std::move(failAt)) {}

  std::vector<std::string> calls;
  std::uint32_t keyObjectSize = 0;
  std::uint32_t ivSize = 0;

  bool balanced() const { return count("open") == count("close") + failed("open") && keysBalanced(); }

  bool openAlgorithm() override { return step("open"); }
  bool getObjectLength(std::uint32_t& bytes) override {
    bytes = 48;
    return step("objectLength");
  }
  bool getBlockLength(std::uint32_t& bytes) override {
    bytes = 16;
    return step("blockLength");
  }
  bool setChainingModeCbc() override { return step("chaining"); }
  bool generateKey(std::uint8_t*, std::uint32_t size, const std::uint8_t*, std::uint32_t keySize) override {
    keyObjectSize = size;
    const bool ok = step("key") && (keySize == 16 || keySize == 24 || keySize == 32);
    if (ok) ++keysMade_;
    return ok;
  }
  bool encrypt(const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t*, std::uint32_t ivBytes,
               std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) override {
    ivSize = ivBytes;
    resultSize = (inputSize / 16 + 1) * 16;
    if (output != nullptr && outputSize >= resultSize) {
      for (std::uint32_t i = 0; i < resultSize; ++i) output[i] = i < inputSize ? input[i] : 0;
    }
    return step(output ? "encrypt" : "size");
  }
  bool decrypt(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t,
               std::uint32_t&) override {
    return step("decrypt");
  }
  void destroyKey() override {
    calls.push_back("destroyKey");
    ++keysDestroyed_;
  }
  void closeAlgorithm() override { calls.push_back("close"); }

 private:
  bool step(const std::string& name) {
    calls.push_back(name);
    return name != failAt_;
  }
  int count(const std::string& name) const {
    int n = 0;
    for (const auto& c : calls) n += c == name;
    return n;
  }
  int failed(const std::string& name) const { return failAt_ == name && count(name) > 0; }
  bool keysBalanced() const { return keysMade_ == keysDestroyed_; }

  std::string failAt_;
  int keysMade_ = 0;
  int keysDestroyed_ = 0;
};

}  // namespace quorvia::testing
