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
class MemoryReader final : public ByteReader {
 public:
  explicit MemoryReader(std::string data, std::size_t step = SIZE_MAX) : data_(std::move(data)), step_(step) {}
  std::size_t read(void* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, step_, data_.size() - consumed});
    std::memcpy(buffer, data_.data() + consumed, n);
    consumed += n;
    return n;
  }
  std::size_t consumed = 0;

 private:
  std::string data_;
  std::size_t step_;
};

class MemoryWriter final : public ByteWriter {
 public:
  void write(const void* data, std::size_t size) override { bytes.append(static_cast<const char*>(data), size); }
  void flush() override {}
  std::string bytes;
};

}  // namespace quorvia::testing
