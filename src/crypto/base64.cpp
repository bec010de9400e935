#include "crypto/base64.h"

namespace quorvia {

std::u16string encodeBase64(const std::uint8_t* data, std::int32_t count) {
  static constexpr char16_t kAlphabet[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::u16string out;
  if (count <= 0) return out;
  const auto n = static_cast<std::size_t>(count);
  out.resize((n + 2) / 3 * 4);
  char16_t* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  if (n - i == 1) {
    *o++ = kAlphabet[data[i] >> 2];
    *o++ = kAlphabet[(data[i] << 4) & 63];
    *o++ = u'=';
    *o++ = u'=';
  } else if (n - i == 2) {
    *o++ = kAlphabet[data[i] >> 2];
    *o++ = kAlphabet[((data[i] << 4) | (data[i + 1] >> 4)) & 63];
    *o++ = kAlphabet[(data[i + 1] << 2) & 63];
    *o++ = u'=';
  }
  return out;
}

}  // namespace quorvia

namespace quorvia {

std::optional<SecretBytes> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  SecretBytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return std::nullopt;
    std::uint32_t v = 0;
    for (int k = 0; k < 4 - pad; ++k) {
      const int d = value(text[i + static_cast<std::size_t>(k)]);
      if (d < 0) return std::nullopt;
      v |= static_cast<std::uint32_t>(d) << (18 - 6 * k);
    }
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

}  // namespace quorvia
