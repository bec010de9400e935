// Conversions between the user's locale encoding and wide text. ctest runs
// this binary once per locale and names the locale's encoding in
// QUORVIA_TEST_LOCALE; the locale itself comes from LC_ALL, as for the host.
// The rows of each locale are in conversions.tsv.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text.h"
#include "corpus/corpus.h"

namespace quorvia {
namespace {

// \xNN and \uNNNN are one unit of that value; any other character stands for itself.
std::u16string unescape(const std::string& field) {
  std::u16string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const std::size_t digits = field[i] != '\\' ? 0 : field.at(i + 1) == 'x' ? 2 : 4;
    out.push_back(static_cast<char16_t>(digits == 0 ? field[i] : std::stoi(field.substr(i + 2, digits), nullptr, 16)));
    i += digits == 0 ? 0 : digits + 1;
  }
  return out;
}

TEST(LocaleText, ConvertsInTheLocaleEncodingAndRefusesWhatItCannot) {
  ASSERT_NE(std::setlocale(LC_CTYPE, ""), nullptr) << "locale from the environment is not available";
  const char* locale = std::getenv("QUORVIA_TEST_LOCALE");
  ASSERT_NE(locale, nullptr) << "QUORVIA_TEST_LOCALE is not set";
  int checked = 0;
  for (const std::string& line : testing::dataLines("locale/conversions.tsv")) {
    std::vector<std::string> row = testing::fields(line);
    row.resize(4);  // an empty text may go without its tab
    const std::string &locales = row[0], &way = row[1], &bytesField = row[2], &textField = row[3];
    if (locales != "*" && (" " + locales + " ").find(" " + std::string(locale) + " ") == std::string::npos) continue;
    const std::u16string units = unescape(bytesField), text = unescape(textField);
    const std::string bytes(units.begin(), units.end());
    const SecretBytes converted = toLocaleMultibyte(text);  // compared unless the row is one way only
    EXPECT_EQ(way == "<" ? bytes : std::string(converted.begin(), converted.end()), bytes) << line;
    EXPECT_EQ(way == ">" ? text : fromLocaleMultibyte(bytes), text) << line;
    ++checked;
  }
  EXPECT_GT(checked, 6) << "QUORVIA_TEST_DATA should name tests";
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
