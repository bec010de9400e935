#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quorvia {

// Overwrites memory in a way the optimiser may not drop, so key material and
// plain text do not linger in freed heap blocks.
void secureWipe(void* data, std::size_t size) noexcept;

// Allocator that wipes every block before giving it back, so containers of
// secrets are clean whichever path (success, ErrorInfo, bad_alloc) frees them,
// including the old block left behind when a vector grows.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    secureWipe(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// A block for the system to write secrets into. It is not cleared when taken,
// since clearing would touch every page of it, and it is wiped whole when
// given back, after a failed call too (a call may write before it fails).
struct WipingDelete {
  std::size_t size;
  void operator()(std::uint8_t* block) const noexcept {
    secureWipe(block, size);
    delete[] block;
  }
};
using WipedBlock = std::unique_ptr<std::uint8_t[], WipingDelete>;
inline WipedBlock makeWipedBlock(std::size_t size) {
  return WipedBlock(std::make_unique_for_overwrite<std::uint8_t[]>(size).release(), WipingDelete{size});
}

}  // namespace quorvia
