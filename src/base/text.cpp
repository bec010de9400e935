#include "base/text.h"

namespace quorvia {

void appendQuoted(std::u16string& out, std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  out.push_back(u'"');
  for (char16_t c : text) {
    if (c < 0x20) {
      // JSON has no raw control characters in strings: a tab in a host name
      // would make the extension's JSON.parse throw.
      out += u"\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
      continue;
    }
    if (c == u'"' || c == u'\\') out.push_back(u'\\');
    out.push_back(c);
  }
  out.push_back(u'"');
}

void appendDecimal(std::u16string& out, std::int64_t value) {
  char16_t digits[20];
  int n = 0;
  // Work in unsigned so the most negative value has a magnitude too.
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) out.push_back(u'-');
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace quorvia
