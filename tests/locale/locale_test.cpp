// Conversions between the user's locale encoding and wide text. ctest runs
// this binary once per locale and names the expected encoding in
// QUORVIA_TEST_LOCALE; the locale itself comes from LC_ALL, as it would for
// the host.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "host/text.h"

namespace quorvia {
namespace {

std::string expectedLocale() {
  const char* name = std::getenv("QUORVIA_TEST_LOCALE");
  return name ? name : "";
}

std::string bytes(const SecretBytes& b) { return std::string(b.begin(), b.end()); }

class LocaleText : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::setlocale(LC_CTYPE, ""), nullptr) << "locale from the environment is not available";
    locale_ = expectedLocale();
    ASSERT_FALSE(locale_.empty()) << "QUORVIA_TEST_LOCALE is not set";
  }
  void TearDown() override { std::setlocale(LC_CTYPE, "C"); }
  bool twoByte() const { return locale_ == "eucjp" || locale_ == "cp932"; }
  // U+3042 (hiragana a) in the locale's encoding.
  std::string hiraganaA() const {
    if (locale_ == "eucjp") return "\xA4\xA2";
    if (locale_ == "cp932") return "\x82\xA0";
    return "\xE3\x81\x82";
  }
  std::string locale_;
};

TEST_F(LocaleText, AsciiRoundTripsUnchanged) {
  EXPECT_EQ(fromLocaleMultibyte("DeviceInfo"), u"DeviceInfo");
  EXPECT_EQ(bytes(toLocaleMultibyte(u"0123456789abcdef")), "0123456789abcdef");
  EXPECT_EQ(bytes(toLocaleMultibyte(u"Hq4ZrW8nLc2VtK6p")).size(), 16u);
}

TEST_F(LocaleText, StopsAtFirstZero) {
  EXPECT_EQ(fromLocaleMultibyte(std::string("Device\0Info", 11)), u"Device");
  EXPECT_EQ(bytes(toLocaleMultibyte(std::u16string(u"key\0more", 8))), "key");
  EXPECT_EQ(fromLocaleMultibyte(""), u"");
  EXPECT_TRUE(toLocaleMultibyte(u"").empty());
}

TEST_F(LocaleText, ReadsNonAsciiInTheLocaleEncoding) {
  if (locale_ == "cp1252") {
    EXPECT_EQ(fromLocaleMultibyte("caf\xE9"), u"caf\u00E9");
    EXPECT_EQ(bytes(toLocaleMultibyte(u"caf\u00E9")), "caf\xE9");
    return;
  }
  EXPECT_EQ(fromLocaleMultibyte(hiraganaA()), u"\u3042");
  EXPECT_EQ(fromLocaleMultibyte("k" + hiraganaA() + "y"), u"k\u3042y");
}

TEST_F(LocaleText, EightTwoByteCharactersMakeASixteenByteKey) {
  if (!twoByte()) GTEST_SKIP() << "the locale encodes kana in more than two bytes";
  const std::u16string key(8, u'\u3042');
  std::string expected;
  for (int i = 0; i < 8; ++i) expected += hiraganaA();
  const SecretBytes keyBytes = toLocaleMultibyte(key);
  EXPECT_EQ(keyBytes.size(), 16u);
  EXPECT_EQ(bytes(keyBytes), expected);
  EXPECT_EQ(fromLocaleMultibyte(expected), key);
}

TEST_F(LocaleText, InvalidBytesGiveEmptyTextNotAPrefix) {
  if (locale_ == "cp1252") GTEST_SKIP() << "every byte is a character in code page 1252";
  if (locale_ == "utf8") {
    EXPECT_EQ(fromLocaleMultibyte("ok\xFF"), u"");
    EXPECT_EQ(fromLocaleMultibyte("ok\xC3"), u"");            // cut short
    EXPECT_EQ(fromLocaleMultibyte("\xED\xA0\x80"), u"");      // a surrogate
    EXPECT_EQ(fromLocaleMultibyte("\xF4\x90\x80\x80"), u"");  // beyond U+10FFFF
    EXPECT_EQ(fromLocaleMultibyte("\xC0\xAF"), u"");          // overlong
    return;
  }
  // A lead byte with nothing after it.
  EXPECT_EQ(fromLocaleMultibyte("ok" + hiraganaA().substr(0, 1)), u"");
}

TEST_F(LocaleText, UnrepresentableCharacterGivesNoBytes) {
  // Thai has no place in code page 1252, EUC-JP or code page 932.
  if (locale_ != "utf8") {
    EXPECT_TRUE(toLocaleMultibyte(u"0123456789abcde\u0E01").empty());
  }
  if (locale_ == "cp1252") {
    EXPECT_TRUE(toLocaleMultibyte(u"\u3042").empty());
  }
  // An unpaired surrogate is no character of any encoding.
  EXPECT_TRUE(toLocaleMultibyte(std::u16string(u"abc") + char16_t(0xD800)).empty());
}

TEST_F(LocaleText, SupplementaryCharactersSurviveInUtf8) {
  if (locale_ != "utf8") GTEST_SKIP() << "only UTF-8 holds every character";
  EXPECT_EQ(fromLocaleMultibyte("\xF0\x9F\x98\x80"), std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(bytes(toLocaleMultibyte(std::u16string({0xD83D, 0xDE00}))), "\xF0\x9F\x98\x80");
  EXPECT_EQ(bytes(toLocaleMultibyte(std::u16string(8, u'\u3042'))).size(), 24u);
}

}  // namespace
}  // namespace quorvia
