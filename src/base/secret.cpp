#include "base/secret.h"

namespace quorvia {

void secureWipe(void* data, std::size_t size) noexcept {
  // Stores through a volatile pointer must all happen; the barrier keeps the
  // compiler from treating the block as dead before the free that follows.
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
#if defined(__GNUC__) || defined(__clang__)
  __asm__ __volatile__("" : : "r"(data) : "memory");
#endif
}

}  // namespace quorvia
