#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "base/text.h"

// glibc's wchar_t is UTF-32, so the locale's conversions run character by
// character through wchar_t and UTF-16 is made (or taken apart) here.

namespace quorvia {

namespace {

bool userLocaleWanted = false;

// Sets the locale useUserLocale asked for once the text needs it.
template <class Text>
void settleLocaleFor(Text text) {
  if (!userLocaleWanted) return;
  if (std::none_of(text.begin(), text.end(), [](auto c) { return static_cast<std::uint32_t>(c) >= 0x80; })) return;
  std::setlocale(LC_CTYPE, "");
  userLocaleWanted = false;
}

}  // namespace

void useUserLocale() { userLocaleWanted = true; }

std::u16string fromLocaleMultibyte(std::string_view bytes, std::size_t maxUnits) {
  if (const void* nul = bytes.empty() ? nullptr : std::memchr(bytes.data(), 0, bytes.size())) {
    bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
  }
  settleLocaleFor(bytes);
  std::u16string out;
  out.reserve(std::min(bytes.size(), maxUnits));
  std::mbstate_t state{};
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    wchar_t wc = 0;
    const std::size_t used = std::mbrtowc(&wc, bytes.data() + pos, bytes.size() - pos, &state);
    // (size_t)-1 is an invalid sequence, (size_t)-2 one cut off by the end.
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) || used == 0) return {};
    const auto c = static_cast<std::uint32_t>(wc);
    // glibc accepts forms beyond U+10FFFF that UTF-16 cannot carry.
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {};
    pos += used;
    if (out.size() >= maxUnits) continue;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

SecretBytes toLocaleMultibyte(std::u16string_view text) {
  settleLocaleFor(text.substr(0, std::min(text.size(), text.find(u'\0'))));
  SecretBytes out;
  out.reserve(text.size() + 1);
  std::mbstate_t state{};
  char one[MB_LEN_MAX];
  for (std::size_t i = 0; i < text.size() && text[i] != 0; ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return {};  // an unpaired surrogate is no character of any encoding
    }
    const std::size_t n = std::wcrtomb(one, static_cast<wchar_t>(c), &state);
    if (n == static_cast<std::size_t>(-1)) return {};
    out.insert(out.end(), one, one + n);
  }
  secureWipe(one, sizeof one);
  return out;
}

}  // namespace quorvia
