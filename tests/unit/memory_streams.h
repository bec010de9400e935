#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "host/byte_stream.h"
#include "host/frame.h"

namespace quorvia::testing {

// Input that arrives in pieces of at most `step` bytes, as a pipe may deliver
// it; counts how much was asked for so tests can see what was left unread.
class MemoryReader final : public ByteReader {
 public:
  explicit MemoryReader(std::string data, std::size_t step = SIZE_MAX) : data_(std::move(data)), step_(step) {}
  std::size_t read(void* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, step_, data_.size() - pos_});
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  std::size_t consumed() const { return pos_; }

 private:
  std::string data_;
  std::size_t step_;
  std::size_t pos_ = 0;
};

class MemoryWriter final : public ByteWriter {
 public:
  void write(const void* data, std::size_t size) override { bytes.append(static_cast<const char*>(data), size); }
  void flush() override { ++flushes; }
  std::string bytes;
  int flushes = 0;
};

inline std::string frame(const std::string& body) { return encodeFrame(body); }

}  // namespace quorvia::testing
