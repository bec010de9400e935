// Conversions between the user's locale encoding and wide text. ctest runs
// this binary once per locale and names the locale's encoding in
// QUORVIA_TEST_LOCALE; the locale itself comes from LC_ALL, as for the host.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/text.h"

namespace quorvia {
namespace {

TEST(LocaleText, ConvertsInTheLocaleEncodingAndRefusesWhatItCannot) {
  ASSERT_NE(std::setlocale(LC_CTYPE, ""), nullptr) << "locale from the environment is not available";
  const char* name = std::getenv("QUORVIA_TEST_LOCALE");
  ASSERT_NE(name, nullptr) << "QUORVIA_TEST_LOCALE is not set";
  const std::string locale = name;
  const std::string a = locale == "eucjp" ? "\xA4\xA2" : locale == "cp932" ? "\x82\xA0" : "\xE3\x81\x82";  // U+3042
  const std::u16string thai = u"0123456789abcde\u0E01", smile = {0xD83D, 0xDE00};
  // Bytes and their text, both ways unless only one way is meant. A refusal
  // gives empty text (never a prefix) or no bytes.
  enum Way { kBoth, kToText, kToBytes };
  struct Row {
    std::string bytes;
    std::u16string text;
    Way way = kBoth;
  };
  std::vector<Row> rows = {
      {"0123456789abcdef", u"0123456789abcdef"},
      {"", u""},
      {std::string("Device\0Info", 11), u"Device", kToText},  // up to the first zero
      {"key", std::u16string(u"key\0more", 8), kToBytes},
      {"", std::u16string(u"abc") + char16_t(0xD800), kToBytes},  // an unpaired surrogate
  };
  if (locale == "cp1252") {
    rows.insert(rows.end(), {{"caf\xE9", u"caf\u00E9"}, {"", u"\u3042", kToBytes}, {"", thai, kToBytes}});
  } else {
    rows.insert(rows.end(), {{"k" + a + "y", u"k\u3042y"}, {"ok" + a.substr(0, 1), u"", kToText}});
  }
  if (locale == "utf8") {
    rows.insert(rows.end(), {{"\xF0\x9F\x98\x80", smile},
                             {"ok\xFF", u"", kToText},
                             {"\xED\xA0\x80", u"", kToText},      // a surrogate
                             {"\xF4\x90\x80\x80", u"", kToText},  // beyond U+10FFFF
                             {"\xC0\xAF", u"", kToText}});        // overlong
  } else if (locale != "cp1252") {
    std::string key;  // eight kana make a sixteen-byte key
    for (int i = 0; i < 8; ++i) key += a;
    rows.insert(rows.end(), {{key, std::u16string(8, u'\u3042')}, {"", thai, kToBytes}});
  }
  for (const Row& row : rows) {
    if (row.way != kToText) {
      const SecretBytes bytes = toLocaleMultibyte(row.text);
      EXPECT_EQ(std::string(bytes.begin(), bytes.end()), row.bytes) << locale;
    }
    if (row.way != kToBytes) {
      EXPECT_EQ(fromLocaleMultibyte(row.bytes), row.text) << row.bytes;
    }
  }
#ifdef _WIN32
  // Under "Use Unicode UTF-8 for worldwide language support" the ANSI code
  // page is 65001, for which Windows' msvcrt.dll has no locale (Wine's has):
  // the host keeps "C", where key bytes, malformed too, pass through unchanged.
  std::setlocale(LC_CTYPE, "C");
  for (const std::string bytes : {"\xC3\xA9t\xC3\xA9-0123456789ab", "\xFF\xFE\x80-malformed-0123"}) {
    const SecretBytes key = toLocaleMultibyte(fromLocaleMultibyte(bytes));
    EXPECT_EQ(std::string(key.begin(), key.end()), bytes);
  }
#endif
  std::setlocale(LC_CTYPE, "C");
}

}  // namespace
}  // namespace quorvia
