#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvia {

// The native-messaging frame, in the one place every program of the project
// takes it from: a 4-byte length in little-endian order, then that many bytes.
constexpr std::size_t kFrameHeaderSize = 4;

inline void encodeFrameLength(std::uint32_t length, unsigned char (&header)[kFrameHeaderSize]) {
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) header[i] = static_cast<unsigned char>(length >> (8 * i));
}

inline std::uint32_t decodeFrameLength(const unsigned char* header) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) length |= std::uint32_t{header[i]} << (8 * i);
  return length;
}

// The header and the body as one string: what a sender writes.
inline std::string encodeFrame(std::string_view body) {
  unsigned char header[kFrameHeaderSize];
  encodeFrameLength(static_cast<std::uint32_t>(body.size()), header);
  std::string out(reinterpret_cast<const char*>(header), kFrameHeaderSize);
  out.append(body);
  return out;
}

}  // namespace quorvia
