#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "base/text.h"

// wchar_t is UTF-16 here, so the C runtime's conversions in the locale that
// setlocale chose (the user's ANSI code page) give and take UTF-16 directly.

namespace quorvia {

void useUserLocale() { setlocale(LC_CTYPE, ""); }

std::u16string fromLocaleMultibyte(std::string_view bytes, std::size_t maxUnits) {
  if (const void* nul = bytes.empty() ? nullptr : memchr(bytes.data(), 0, bytes.size())) {
    bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
  }
  if (bytes.empty() || maxUnits == 0) return {};
  // mbstowcs_s wants a terminated source.
  // The request's key passes through here: scratch copies are wiped too.
  std::vector<char, WipingAllocator<char>> source(bytes.begin(), bytes.end());
  source.push_back('\0');
  // Without a destination it checks every byte and counts the units (with
  // the terminator); then only the units wanted are made.
  size_t needed = 0;
  if (mbstowcs_s(&needed, nullptr, 0, source.data(), 0) != 0 || needed == 0) return {};
  const std::size_t units = std::min<std::size_t>(needed - 1, maxUnits);
  std::vector<wchar_t, WipingAllocator<wchar_t>> wide(units + 1, L'\0');
  size_t converted = 0;
  if (mbstowcs_s(&converted, wide.data(), wide.size(), source.data(), units) != 0) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(wide.data()));
}

SecretBytes toLocaleMultibyte(std::u16string_view text) {
  std::size_t units = 0;
  while (units < text.size() && text[units] != 0) ++units;
  if (units == 0) return {};
  std::vector<wchar_t, WipingAllocator<wchar_t>> source(text.begin(), text.begin() + units);
  source.push_back(L'\0');
  const std::size_t capacity = static_cast<std::size_t>(MB_CUR_MAX) * units + 1;
  SecretBytes scratch(capacity, 0);
  size_t converted = 0;
  // A character the code page cannot hold fails the whole conversion and
  // leaves the buffer empty; the caller then sees zero bytes.
  if (wcstombs_s(&converted, reinterpret_cast<char*>(scratch.data()), scratch.size(), source.data(), _TRUNCATE) != 0) {
    return {};
  }
  const std::size_t length = strnlen(reinterpret_cast<const char*>(scratch.data()), scratch.size());
  return SecretBytes(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace quorvia
