#include "host/text.h"

#include <gtest/gtest.h>

namespace quorvia {
namespace {

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TEST(ToUtf8, EncodesEachRangeOfCodePoints) {
  EXPECT_EQ(hex(toUtf8(u"A")), "41");
  EXPECT_EQ(hex(toUtf8(u"\u00E9")), "C3 A9");
  EXPECT_EQ(hex(toUtf8(u"\u0800")), "E0 A0 80");
  EXPECT_EQ(hex(toUtf8(u"\u3042")), "E3 81 82");
  EXPECT_EQ(hex(toUtf8(u"\uFFFF")), "EF BF BF");
  EXPECT_EQ(hex(toUtf8(std::u16string{0xD83D, 0xDE00})), "F0 9F 98 80");
  EXPECT_EQ(hex(toUtf8(std::u16string{0xDBFF, 0xDFFF})), "F4 8F BF BF");
  EXPECT_EQ(toUtf8(u""), "");
}

TEST(ToUtf8, KeepsNulUnitsInPlace) {
  const std::u16string text{u'a', 0, u'b'};
  EXPECT_EQ(toUtf8(text), std::string("a\0b", 3));
}

TEST(ToUtf8, ReplacesEveryUnpairedSurrogate) {
  // High surrogate followed by a non-surrogate, at the end, low alone, two highs.
  EXPECT_EQ(hex(toUtf8(std::u16string{0xD800, u'x'})), "EF BF BD 78");
  EXPECT_EQ(hex(toUtf8(std::u16string{u'x', 0xDBFF})), "78 EF BF BD");
  EXPECT_EQ(hex(toUtf8(std::u16string{0xDC00})), "EF BF BD");
  EXPECT_EQ(hex(toUtf8(std::u16string{0xD800, 0xD800, 0xDC00})), "EF BF BD F0 90 80 80");
}

TEST(QuotedForm, EscapesQuoteBackslashAndControlCharactersOnly) {
  std::u16string out;
  appendQuoted(out, u"a\"b\\c\t/\n\u3042");
  EXPECT_EQ(out, u"\"a\\\"b\\\\c\\u0009/\\u000a\u3042\"");
  out.clear();
  appendQuoted(out, u"");
  EXPECT_EQ(out, u"\"\"");
}

TEST(Decimal, WritesPlainDigitsWithSignOnlyWhenNegative) {
  auto text = [](std::int64_t v) {
    std::u16string s;
    appendDecimal(s, v);
    return s;
  };
  EXPECT_EQ(text(0), u"0");
  EXPECT_EQ(text(17179869184), u"17179869184");
  EXPECT_EQ(text(-1), u"-1");
  EXPECT_EQ(text(INT64_MAX), u"9223372036854775807");
  EXPECT_EQ(text(INT64_MIN), u"-9223372036854775808");
}

}  // namespace
}  // namespace quorvia
