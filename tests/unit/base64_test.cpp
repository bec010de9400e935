#include "crypto/base64.h"

#include <gtest/gtest.h>

namespace quorvia {
namespace {

std::u16string b64(const std::string& s) {
  return encodeBase64(reinterpret_cast<const std::uint8_t*>(s.data()), static_cast<std::int32_t>(s.size()));
}

TEST(Base64, Rfc4648Vectors) {
  EXPECT_EQ(b64(""), u"");
  EXPECT_EQ(b64("f"), u"Zg==");
  EXPECT_EQ(b64("fo"), u"Zm8=");
  EXPECT_EQ(b64("foo"), u"Zm9v");
  EXPECT_EQ(b64("foob"), u"Zm9vYg==");
  EXPECT_EQ(b64("fooba"), u"Zm9vYmE=");
  EXPECT_EQ(b64("foobar"), u"Zm9vYmFy");
  EXPECT_EQ(b64("\xFB\xFF"), u"+/8=");
  EXPECT_EQ(b64(std::string("\x00\x00\x00", 3)), u"AAAA");
}

TEST(Base64, LongInputStaysOnOneLineWithTheRightLength) {
  for (std::size_t n : {16u, 32u, 48u, 49u, 1000u}) {
    const std::u16string text = b64(std::string(n, '\xA5'));
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4) << n;
    EXPECT_EQ(text.find(u'\n'), std::u16string::npos);
  }
  // Cipher text sizes: one block leaves one byte over, two leave two, three none.
  EXPECT_EQ(b64(std::string(16, 'x')).substr(22), u"==");
  EXPECT_EQ(b64(std::string(32, 'x')).substr(42), u"g=");
  EXPECT_NE(b64(std::string(48, 'x')).back(), u'=');
}

TEST(Base64, NegativeCountGivesEmptyText) { EXPECT_EQ(encodeBase64(nullptr, -5), u""); }

TEST(Base64, DecodeReversesEncodeAndRejectsMalformedText) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (std::size_t n = 0; n < 8; ++n) {
    const std::string part = all.substr(0, 250 + n);
    const std::u16string text = b64(part);
    const auto decoded = decodeBase64(std::string(text.begin(), text.end()));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), part);
  }
  EXPECT_FALSE(decodeBase64("Zg=").has_value());
  EXPECT_FALSE(decodeBase64("Z===").has_value());
  EXPECT_FALSE(decodeBase64("Zg==Zg==").has_value());
  EXPECT_FALSE(decodeBase64("Zm9\n").has_value());
  EXPECT_FALSE(decodeBase64("Z=g=").has_value());
}

}  // namespace
}  // namespace quorvia
