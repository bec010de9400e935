#include "crypto/encrypt.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "fake_cipher.h"
#include "host/error_info.h"

namespace quorvia {
namespace {

using testing::RecordingProvider;

const std::u16string kIv = u"Hq4ZrW8nLc2VtK6p";

std::span<const std::uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::vector<std::uint8_t> unhex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

int codeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ErrorInfo& e) {
    return e.code;
  }
  return 0;
}

// Expected values come from `openssl enc -aes-N-cbc` with the key text's
// bytes and the IV text's bytes, an implementation independent of ours; the
// same table passes on Linux (Mbed TLS) and Windows (CNG), so the two agree.
TEST(EncryptPayload, MatchesAnIndependentAesCbc) {
  struct Case {
    std::u16string key;
    std::string plain;
    std::u16string expected;
  };
  const std::u16string k16 = u"0123456789abcdef", k24 = u"0123456789abcdef01234567",
                       k32 = u"0123456789abcdef0123456789abcdef";
  const std::vector<Case> cases = {
      {k16, "", u"qArzLkND992bhaNJsi84BA=="},
      {k16, "hello", u"cDOrrnpkGlpgK7CiiLnNsg=="},
      {k16, "0123456789abcde", u"IKb+SGM7WfGj2PnQc+OgtQ=="},
      {k16, "0123456789abcdef", u"MYyl2eFjegwBD4cUJwTZHcIU6q1bPtsWDYOjikKYEfA="},
      {k24, "", u"fwdf0lNhH6TYZpWfCDdR3A=="},
      {k24, "hello", u"w2hEbi/5D3b/d3u7KkEDWw=="},
      {k24, "0123456789abcdef", u"sRjz2Xo6umCoD0HHhS57P8jmtKFU6A/oRrQplKPUUMs="},
      {k32, "", u"gyUUE2E5j4R8TlD7oOu9VA=="},
      {k32, "0123456789abcde", u"kNsxaBxZZcE4HfgdWLcFXw=="},
      {k32, "0123456789abcdef", u"kaRuie/ZelX8wNUr13g7H7S0fLf9HQ7cKbcP9mvwAOo="},
      {k32, "{\n  \"hostName\": \"\xE3\x81\x82\"\n}\n", u"/O4X5xEFZxe8AqLdZdPwmcLqUNqVInpCqs9oi3zhKk8="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encryptPayload(bytesOf(c.plain), c.key, kIv), c.expected) << c.plain.size();
  }
}

TEST(EncryptPayload, KeyMustGiveSixteenTwentyFourOrThirtyTwoBytes) {
  for (std::size_t n : {0u, 1u, 15u, 17u, 23u, 25u, 31u, 33u, 64u}) {
    const std::u16string key(n, u'k');
    EXPECT_EQ(codeOf([&] { encryptPayload(bytesOf("doc"), key, kIv); }), 27) << n;
  }
  for (std::size_t n : {16u, 24u, 32u}) {
    const std::u16string key(n, u'k');
    EXPECT_EQ(codeOf([&] { encryptPayload(bytesOf("doc"), key, kIv); }), 0) << n;
  }
}

TEST(EncryptPayload, KeyTheLocaleCannotEncodeIsRejected) {
  std::setlocale(LC_CTYPE, "C");
  const std::u16string key(16, u'\u3042');
  EXPECT_EQ(codeOf([&] { encryptPayload(bytesOf("doc"), key, kIv); }), 27);
}

TEST(EncryptPayload, DecryptsBackToThePlaintext) {
  auto provider = makeSystemCipherProvider();
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 4095u}) {
    std::string plain(n, '\0');
    for (std::size_t i = 0; i < n; ++i) plain[i] = static_cast<char>(i * 7);
    const std::u16string b64 = encryptPayload(bytesOf(plain), u"0123456789abcdef0123456789abcdef", kIv, *provider);
    EXPECT_EQ(b64.size(), 4 * ((16 * (n / 16 + 1) + 2) / 3)) << n;
    const SecretBytes back =
        decryptPayload(std::string(b64.begin(), b64.end()), u"0123456789abcdef0123456789abcdef", kIv, *provider);
    EXPECT_EQ(std::string(back.begin(), back.end()), plain) << n;
  }
  const std::u16string b64 = encryptPayload(bytesOf("x"), u"0123456789abcdef", kIv, *provider);
  EXPECT_EQ(codeOf([&] { decryptPayload(std::string(b64.begin(), b64.end()), u"fedcba9876543210", kIv, *provider); }),
            33);
  EXPECT_EQ(codeOf([&] { decryptPayload("not base64!", u"0123456789abcdef", kIv, *provider); }), 33);
}

// NIST SP 800-38A, F.2.1, F.2.3 and F.2.5: CBC encryption of four blocks. The
// provider always pads, so a fifth block follows the four of the vector.
TEST(CipherProvider, NistCbcVectors) {
  const std::string iv = "000102030405060708090a0b0c0d0e0f";
  const std::string plain =
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
  struct Vector {
    std::string key, cipher;
  };
  const std::vector<Vector> vectors = {
      {"2b7e151628aed2a6abf7158809cf4f3c",
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
       "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
       "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
       "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
  };
  for (const Vector& v : vectors) {
    auto provider = makeSystemCipherProvider();
    ASSERT_TRUE(provider->openAlgorithm());
    std::uint32_t objectLength = 0, block = 0;
    ASSERT_TRUE(provider->getObjectLength(objectLength));
    ASSERT_TRUE(provider->getBlockLength(block));
    EXPECT_EQ(block, 16u);
    ASSERT_TRUE(provider->setChainingModeCbc());
    std::vector<std::uint8_t> keyObject(objectLength), key = unhex(v.key), ivBytes = unhex(iv), in = unhex(plain);
    ASSERT_TRUE(
        provider->generateKey(keyObject.data(), objectLength, key.data(), static_cast<std::uint32_t>(key.size())));

    std::uint32_t size = 0;
    ASSERT_TRUE(provider->encrypt(in.data(), 64, ivBytes.data(), 16, nullptr, 0, size));
    EXPECT_EQ(size, 80u);
    EXPECT_EQ(ivBytes, unhex(iv)) << "the size query moved the IV";
    std::vector<std::uint8_t> out(size);
    std::uint32_t written = 0;
    ASSERT_TRUE(provider->encrypt(in.data(), 64, ivBytes.data(), 16, out.data(), size, written));
    EXPECT_EQ(written, 80u);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 64), unhex(v.cipher)) << v.key;
    provider->destroyKey();
    provider->closeAlgorithm();
  }
}

TEST(EncryptPayload, EachFailingStepHasItsCodeAndReleasesWhatWasHeld) {
  struct Case {
    std::string failAt;
    int code;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"open", 21, {"open"}},
      {"objectLength", 22, {"open", "objectLength", "close"}},
      {"blockLength", 24, {"open", "objectLength", "blockLength", "close"}},
      {"chaining", 26, {"open", "objectLength", "blockLength", "chaining", "close"}},
      {"key", 27, {"open", "objectLength", "blockLength", "chaining", "key", "close"}},
      {"size", 31, {"open", "objectLength", "blockLength", "chaining", "key", "size", "destroyKey", "close"}},
      {"encrypt",
       33,
       {"open", "objectLength", "blockLength", "chaining", "key", "size", "encrypt", "destroyKey", "close"}},
      {"", 0, {"open", "objectLength", "blockLength", "chaining", "key", "size", "encrypt", "destroyKey", "close"}},
  };
  for (const Case& c : cases) {
    RecordingProvider provider(c.failAt);
    EXPECT_EQ(codeOf([&] { encryptPayload(bytesOf("document"), u"0123456789abcdef", kIv, provider); }), c.code)
        << c.failAt;
    EXPECT_EQ(provider.calls, c.calls) << c.failAt;
  }
}

TEST(EncryptPayload, HandsTheProviderItsOwnSizes) {
  RecordingProvider provider("");
  const std::u16string b64 = encryptPayload(bytesOf(std::string(20, 'd')), u"0123456789abcdef", kIv, provider);
  EXPECT_EQ(provider.keyObjectSize, 48u);
  EXPECT_EQ(provider.ivSize, 16u);
  EXPECT_EQ(b64.size(), 44u);  // 32 cipher bytes, the size the query reported
}

}  // namespace
}  // namespace quorvia
