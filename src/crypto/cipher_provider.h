#pragma once

#include <cstdint>
#include <memory>

namespace quorvia {

// An AES provider in the shape of the CNG calls the payload cipher makes.
// Each call returns false where CNG would return a failure status. One
// provider object holds at most one algorithm handle and one key at a time;
// the cipher logic opens, uses and releases them in order.
class CipherProvider {
 public:
  virtual ~CipherProvider() = default;

  // BCryptOpenAlgorithmProvider("AES", default implementation).
  virtual bool openAlgorithm() = 0;
  // BCryptGetProperty "ObjectLength" / "BlockLength".
  virtual bool getObjectLength(std::uint32_t& bytes) = 0;
  virtual bool getBlockLength(std::uint32_t& bytes) = 0;
  // BCryptSetProperty "ChainingMode" = "ChainingModeCBC"; keys made later use CBC.
  virtual bool setChainingModeCbc() = 0;
  // BCryptGenerateSymmetricKey into the caller's key object buffer, which the
  // provider may keep using until destroyKey. Fails unless the key has 16, 24
  // or 32 bytes.
  virtual bool generateKey(std::uint8_t* keyObject, std::uint32_t keyObjectSize, const std::uint8_t* key,
                           std::uint32_t keySize) = 0;
  // BCryptEncrypt / BCryptDecrypt with PKCS#7 block padding. With a null
  // output only the result size is reported and the IV is left untouched;
  // otherwise `output` of `outputSize` bytes receives the result, `resultSize`
  // its length, and the IV buffer may be changed.
  virtual bool encrypt(const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t* iv, std::uint32_t ivSize,
                       std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) = 0;
  virtual bool decrypt(const std::uint8_t* input, std::uint32_t inputSize, std::uint8_t* iv, std::uint32_t ivSize,
                       std::uint8_t* output, std::uint32_t outputSize, std::uint32_t& resultSize) = 0;
  // BCryptDestroyKey / BCryptCloseAlgorithmProvider; results are not examined.
  virtual void destroyKey() = 0;
  virtual void closeAlgorithm() = 0;
};

// CNG on Windows, Mbed TLS elsewhere; both give the same bytes.
std::unique_ptr<CipherProvider> makeSystemCipherProvider();

}  // namespace quorvia
