// Key material and plain text must not be left in freed memory. This program
// replaces the global allocation functions, so every block the host frees
// passes under our eyes first; while a request cycle runs, no freed block may
// hold the request's key or the document's text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "crypto/cipher_provider.h"
#include "host/error_info.h"
#include "host/request_cycle.h"
#include "unit/memory_streams.h"

namespace {

// The size is kept in front of each block, so every form of delete can scan
// the whole block.
struct alignas(16) BlockHeader {
  std::size_t size;
};
const std::vector<std::string>* markers = nullptr;  // while set, freed blocks are scanned for these
int blocksWithSecrets = 0;

void* allocate(std::size_t size) {
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + (size ? size : 1)));
  if (header == nullptr) throw std::bad_alloc();
  header->size = size;
  return header + 1;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(p) - 1;
  const std::string_view block(static_cast<const char*>(p), header->size);
  if (markers != nullptr) {
    for (const std::string& m : *markers) blocksWithSecrets += block.find(m) != std::string_view::npos;
  }
  std::free(header);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }

namespace quorvia {
namespace {

std::string utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += {c, '\0'};
  return out;
}

// One request whose key and document carry markers; counts the freed blocks
// that still hold either, in UTF-8/locale bytes or in UTF-16.
int secretsLeftBehind(const DeviceCollector& collect) {
  const std::string key = "Kq7-WipeMe-9zXv!", plain = "Plaintext-Marker-4711";
  const std::vector<std::string> patterns = {key, utf16(key), plain, utf16(plain)};
  testing::MemoryReader in(encodeFrame("{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + key + "\"}"));
  testing::MemoryWriter out;
  auto cipher = makeSystemCipherProvider();
  blocksWithSecrets = 0;
  markers = &patterns;
  runHost(
      true, in, out,
      [&](DeviceRecord& record) {
        record.macAddress = u"[]";
        record.cpuName = u"Plaintext-Marker-4711";
        collect(record);
      },
      *cipher);
  markers = nullptr;
  return blocksWithSecrets;
}

TEST(Wiping, NoFreedBlockHoldsTheKeyOrThePlainText) {
  EXPECT_EQ(secretsLeftBehind([](DeviceRecord&) {}), 0) << "after an answer";
  EXPECT_EQ(secretsLeftBehind([](DeviceRecord&) { throw ErrorInfo{errc::kMemory}; }), 0) << "after a failure";
  // The watch itself must see a secret that is freed unwiped.
  EXPECT_GT(secretsLeftBehind([](DeviceRecord& record) {
              auto* leak = new std::string(record.cpuName.begin(), record.cpuName.end());
              leak->reserve(100);
              delete leak;
            }),
            0);
}

}  // namespace
}  // namespace quorvia
