// Key material and plain text must not be left in freed memory. This program
// replaces the global allocation functions, so every block the host frees
// passes under our eyes first; while a request cycle runs, no freed block may
// hold the request's key or the document's text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "crypto/cipher_provider.h"
#include "host/error_info.h"
#include "host/request_cycle.h"
#include "unit/memory_streams.h"

namespace {

// Sizes are kept in a header in front of each block, so a sized or unsized
// delete can scan the whole block.
struct alignas(16) BlockHeader {
  std::size_t size;
};

bool watching = false;
std::vector<std::string>* markers = nullptr;  // the byte patterns to look for
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
  if (watching && markers != nullptr) {
    watching = false;  // std::string_view::find allocates nothing, but be safe
    const std::string_view block(static_cast<const char*>(p), header->size);
    for (const std::string& m : *markers) {
      if (block.find(m) != std::string_view::npos) {
        ++blocksWithSecrets;
        if (std::getenv("WIPE_DEBUG"))
          std::fprintf(stderr, "freed block of %zu bytes holds marker %zu\n", header->size,
                       static_cast<std::size_t>(&m - markers->data()));
      }
    }
    watching = true;
  }
  std::free(header);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace quorvia {
namespace {

std::string utf16Bytes(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// Runs one request whose key and document text carry markers, and counts
// freed blocks that still hold them.
int secretsLeftBehind(const DeviceCollector& collect) {
  const std::string key = "Kq7-WipeMe-9zXv!";  // 16 bytes: AES-128
  const std::string plain = "Plaintext-Marker-4711";
  std::vector<std::string> patterns = {key, utf16Bytes(key), plain, utf16Bytes(plain)};
  const std::string body = "{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + key + "\"}";
  const std::string input = std::string{static_cast<char>(body.size()), 0, 0, 0} + body;
  auto cipher = makeSystemCipherProvider();
  testing::MemoryReader in(input);
  testing::MemoryWriter out;
  const DeviceCollector withMarker = [&](DeviceRecord& record) {
    record.macAddress = u"[]";
    record.cpuName = u"Plaintext-Marker-4711";
    collect(record);
  };
  blocksWithSecrets = 0;
  markers = &patterns;
  watching = true;
  runHost(true, in, out, withMarker, *cipher);
  watching = false;
  markers = nullptr;
  return blocksWithSecrets;
}

TEST(Wiping, NoFreedBlockHoldsTheKeyOrThePlainTextAfterAnAnswer) {
  EXPECT_EQ(secretsLeftBehind([](DeviceRecord&) {}), 0);
}

TEST(Wiping, NoFreedBlockHoldsTheKeyAfterAFailure) {
  EXPECT_EQ(secretsLeftBehind([](DeviceRecord&) { throw ErrorInfo{501}; }), 0);
}

// The check itself must be able to see a secret that is freed unwiped.
TEST(Wiping, TheWatchSeesAnUnwipedCopy) {
  EXPECT_GT(secretsLeftBehind([](DeviceRecord& record) {
              auto* leak = new std::string(record.cpuName.begin(), record.cpuName.end());
              leak->reserve(100);
              delete leak;
            }),
            0);
}

}  // namespace
}  // namespace quorvia
