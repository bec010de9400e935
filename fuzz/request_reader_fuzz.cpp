// Any bytes at all as the host's standard input: the reader must either
// accept a request that satisfies every rule or raise one of its four codes,
// without crashing, leaking or touching memory it does not own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/error_info.h"
#include "host/request_reader.h"

namespace {

class FuzzReader final : public quorvia::ByteReader {
 public:
  FuzzReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t read(void* buffer, std::size_t size) override {
    // Deliver in uneven pieces, as a pipe may.
    std::size_t n = size < size_ - pos_ ? size : size_ - pos_;
    if (n > 7 && (pos_ & 1)) n = 7;
    __builtin_memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzReader reader(data, size);
  quorvia::HostRequest request;
  try {
    quorvia::readRequest(reader, request);
  } catch (const quorvia::ErrorInfo& e) {
    if (e.code < 1 || e.code > 4) std::abort();
    return 0;
  }
  // Accepted: every rule must hold.
  if (request.command != u"DeviceInfo" || request.key.empty() || request.version == 0 || request.version > 10000) {
    std::abort();
  }
  return 0;
}
