#pragma once

#include <cstddef>

namespace quorvia {

// The two ends of the native-messaging pipe, as raw byte streams.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Up to `size` bytes; 0 only at the end of the input (or a read error).
  virtual std::size_t read(void* buffer, std::size_t size) = 0;
};

class ByteWriter {
 public:
  virtual ~ByteWriter() = default;
  virtual void write(const void* data, std::size_t size) = 0;
  virtual void flush() = 0;
};

// Standard input and output; the platform set-up has put them in binary mode.
class StdinReader final : public ByteReader {
 public:
  std::size_t read(void* buffer, std::size_t size) override;
};

class StdoutWriter final : public ByteWriter {
 public:
  void write(const void* data, std::size_t size) override;
  void flush() override;
};

}  // namespace quorvia
