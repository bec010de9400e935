// Key material and plain text must not be left in freed memory: this program
// replaces the global allocation functions, and while a request cycle runs no
// block it frees may hold the request's key or the document's text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/error_info.h"
#include "crypto/cipher_provider.h"
#include "device/probes.h"
#include "host/request_cycle.h"
#include "unit/fake_system.h"
#include "unit/memory_streams.h"

namespace {

// The size is kept in front of each block, so that it can be scanned whole.
// The C++ runtime's other forms of new and delete call these.
struct alignas(16) BlockHeader {
  std::size_t size;
};
const std::vector<std::string>* markers = nullptr;  // while set, freed blocks are scanned for these
int blocksWithSecrets = 0;

void* allocate(std::size_t size) noexcept {
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + (size ? size : 1)));
  if (header != nullptr) header->size = size;
  return header != nullptr ? header + 1 : nullptr;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(p) - 1;
  const std::string_view block(static_cast<const char*>(p), header->size);
  for (std::size_t i = 0; markers != nullptr && i < markers->size(); ++i) {
    blocksWithSecrets += block.find((*markers)[i]) != std::string_view::npos;
  }
  std::free(header);
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = allocate(size);
  return p != nullptr ? p : throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }

namespace quorvia {
namespace {

// One request whose key and document carry markers; counts the freed blocks
// that still hold either, in UTF-8/locale bytes or in UTF-16.
int secretsLeftBehind(const DeviceCollector& collect) {
  const std::string key = "Kq7-WipeMe-9zXv!", plain = "Plaintext-Marker-4711";
  std::vector<std::string> patterns = {key, plain};
  for (const std::string& ascii : {key, plain}) {
    patterns.emplace_back();
    for (char c : ascii) patterns.back() += {c, '\0'};
  }
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
  // The probes' own blocks, with the key's text as an adapter's address and
  // at the start of a host name long enough to outgrow two string blocks.
  fake::Log log;
  fake::FakeLocalSystem system(log);
  system.adapters = {{'K', 'q', '7', '-', 'W', 'i', 'p', 'e', 'M', 'e', '-', '9', 'z', 'X', 'v', '!'}};
  system.computerName = u"Kq7-WipeMe-9zXv!, and the rest of the name";
  ProbeBuffer buffer;
  const auto probes = [&](DeviceRecord& record) {
    collectHostName(system, record, buffer);
    record.macAddress = collectAdapterAddresses(system);
  };
  EXPECT_EQ(secretsLeftBehind(probes), 0) << "after the probes";
  // The watch itself must see a secret that is freed unwiped.
  const auto leak = [](DeviceRecord& record) { delete new std::string(record.cpuName.begin(), record.cpuName.end()); };
  EXPECT_GT(secretsLeftBehind(leak), 0);
}

}  // namespace
}  // namespace quorvia
