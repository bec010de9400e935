#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/secret.h"

namespace quorvia {

// Wide text is UTF-16 on every platform; it becomes bytes only at the borders.

// UTF-8 of the whole text (NUL units included). An unpaired surrogate becomes
// U+FFFD, so whatever the system handed us, the output is valid UTF-8.
template <class Bytes = std::string>
Bytes toUtf8(std::u16string_view text) {
  Bytes out;
  out.reserve(text.size() + text.size() / 2);
  auto put = [&out](std::uint32_t b) { out.push_back(static_cast<typename Bytes::value_type>(b)); };
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDFFF) {
      const bool paired = c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
      if (paired) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
      } else {
        c = 0xFFFD;
      }
    }
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | (c >> 6));
      put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      put(0xE0 | (c >> 12));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    } else {
      put(0xF0 | (c >> 18));
      put(0x80 | ((c >> 12) & 0x3F));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Appends the text in quoted form: double quotes around it, a backslash before
// every double quote and backslash, each character below U+0020 as \u00XX
// (lower-case hex), nothing else escaped.
void appendQuoted(std::u16string& out, std::u16string_view text);

// Appends a signed decimal number in plain digits; the user's locale never
// changes this form.
void appendDecimal(std::u16string& out, std::int64_t value);

// Makes the user's LC_CTYPE locale, as the environment names it, the one the
// two conversions below work in. Windows sets it at once. Linux sets it when
// a conversion first meets a character outside ASCII: text of ASCII
// characters alone makes the same bytes in every locale glibc can build
// except for the backslash and the tilde of a few Japanese encodings
// (localedef calls those "not ASCII compatible"), and there the key's bytes
// come back as the same bytes while the command and the IV have neither, so
// no answer changes. Setting the locale reads the alias file, the locale's
// tables and the converter cache: seven system calls and a sixth of the
// host's own instructions that a request in plain ASCII never needs.
void useUserLocale();

// Bytes in the current LC_CTYPE locale's encoding, up to the first zero byte,
// to wide text. A sequence that is not valid in that encoding gives empty text.
// With `maxUnits`, all the bytes are still checked, but only the first
// `maxUnits` units of the text are made: a request's megabytes never need
// their wide copy once their length alone decides the answer.
std::u16string fromLocaleMultibyte(std::string_view bytes, std::size_t maxUnits = std::u16string::npos);

// Wide text, up to the first zero unit, to bytes in the current LC_CTYPE
// locale's encoding. A character the encoding cannot represent gives no bytes.
SecretBytes toLocaleMultibyte(std::u16string_view text);

}  // namespace quorvia
