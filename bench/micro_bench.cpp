// Micro-benchmarks of the pieces every request goes through.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "base/error_info.h"
#include "base/text.h"
#include "crypto/base64.h"
#include "crypto/encrypt.h"
#include "device/device_record.h"
#include "host/request_reader.h"
#include "unit/memory_streams.h"

namespace quorvia {
namespace {

DeviceRecord typicalRecord() {
  DeviceRecord r;
  r.hostName = u"WS-0042";
  r.macAddress = u"[\"00:1A:2B:3C:4D:5E\", \"0A:00:27:00:00:0B\"]";
  r.venderName = u"Example Systems";
  r.deviceName = u"EX-14 Notebook";
  r.cpuName = u"Example Processor 8C 2.40GHz";
  r.mainMemory = 17043423232;
  r.storageSize = 1022857109504;
  r.osName = u"Microsoft Windows 11 Pro";
  r.osVersion = u"10.0.22631";
  r.authorizedOsUser = u"ユーザー";
  r.deviceId = u"5A1C7E22-93B0-4D61-8F3A-2C9D04E6B871";
  return r;
}

void formatDocument(benchmark::State& state) {
  const DeviceRecord r = typicalRecord();
  for (auto _ : state) benchmark::DoNotOptimize(r.formatDeviceDocument());
}
BENCHMARK(formatDocument);

void utf8(benchmark::State& state) {
  const std::u16string doc = typicalRecord().formatDeviceDocument();
  for (auto _ : state) benchmark::DoNotOptimize(toUtf8(doc));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size() * 2));
}
BENCHMARK(utf8);

void base64(benchmark::State& state) {
  const std::string bytes(static_cast<std::size_t>(state.range(0)), '\x5A');
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        encodeBase64(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::int32_t>(bytes.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(base64)->Arg(1024)->Arg(64 << 10)->Arg(1 << 20);

void encrypt(benchmark::State& state) {
  const std::string plain(static_cast<std::size_t>(state.range(0)), 'p');
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(encryptPayload(bytes, u"0123456789abcdef0123456789abcdef", u"Hq4ZrW8nLc2VtK6p"));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(encrypt)->Arg(1024)->Arg(64 << 10)->Arg(1 << 20);

// A valid request padded with an ignored member to the body size asked for.
std::string frameOfSize(std::size_t size) {
  const std::string head = "{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"0123456789abcdef\",\"pad\":\"";
  std::string body = head + std::string(size > head.size() + 2 ? size - head.size() - 2 : 0, 'x') + "\"}";
  return encodeFrame(body);
}

void readRequestOfSize(benchmark::State& state) {
  const std::string input = frameOfSize(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    testing::MemoryReader reader(input);
    HostRequest request;
    readRequest(reader, request);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(readRequestOfSize)->Arg(64)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvia

BENCHMARK_MAIN();
