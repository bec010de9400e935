#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "host/byte_stream.h"
#include "host/frame.h"

namespace quorvia::testing {

// Input that arrives in pieces of at most `step` bytes, as a pipe may deliver
// it; counts what was taken so tests can see what was left unread.
struct MemoryReader final : ByteReader {
  explicit MemoryReader(std::string data, std::size_t step = SIZE_MAX) : data(std::move(data)), step(step) {}
  std::size_t read(void* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, step, data.size() - consumed});
    std::memcpy(buffer, data.data() + consumed, n);
    consumed += n;
    return n;
  }
  std::string data;
  std::size_t step, consumed = 0;
};

struct MemoryWriter final : ByteWriter {
  void write(const void* data, std::size_t size) override { bytes.append(static_cast<const char*>(data), size); }
  void flush() override {}
  std::string bytes;
};

}  // namespace quorvia::testing
