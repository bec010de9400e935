#include "host/request_cycle.h"

#include <gtest/gtest.h>

#include <new>

#include "crypto/encrypt.h"
#include "host/error_info.h"
#include "host/response.h"
#include "memory_streams.h"

namespace quorvia {
namespace {

using testing::frame;
using testing::MemoryReader;
using testing::MemoryWriter;

const std::string kKey = "0123456789abcdef";
const std::string kValid = frame("{\"command\":\"DeviceInfo\",\"version\":1,\"key\":\"" + kKey + "\"}");

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome run(const std::string& input, const DeviceCollector& collect, CipherProvider* cipher = nullptr) {
  MemoryReader in(input);
  MemoryWriter out;
  auto provider = makeSystemCipherProvider();
  Outcome o;
  o.status = runRequestCycle(in, out, collect, cipher ? *cipher : *provider);
  o.out = out.bytes;
  return o;
}

TEST(RequestCycle, ValidRequestGetsTheEncryptedDocumentOfTheRecord) {
  int calls = 0;
  std::u16string keySeen, ivSeen;
  const Outcome o = run(kValid, [&](DeviceRecord& r) {
    ++calls;
    keySeen = r.cipherKey;
    ivSeen = r.cipherIv;
    r.hostName = u"HOST";
    r.macAddress = u"[]";
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(keySeen, u"0123456789abcdef");
  EXPECT_EQ(ivSeen, u"Hq4ZrW8nLc2VtK6p");
  ASSERT_GT(o.out.size(), 4u);
  const std::string body = o.out.substr(4);
  ASSERT_EQ(body.rfind("{\"data\": \"", 0), 0u);
  const std::string b64 = body.substr(10, body.size() - 12);
  auto provider = makeSystemCipherProvider();
  const SecretBytes plain = decryptPayload(b64, u"0123456789abcdef", u"Hq4ZrW8nLc2VtK6p", *provider);
  DeviceRecord expected;
  expected.hostName = u"HOST";
  expected.macAddress = u"[]";
  const std::u16string doc = expected.formatDeviceDocument();
  EXPECT_EQ(std::string(plain.begin(), plain.end()), std::string(doc.begin(), doc.end()));
}

TEST(RequestCycle, RejectedRequestRunsNoProbe) {
  int calls = 0;
  const Outcome o = run(frame("{\"command\":\"Other\",\"version\":1,\"key\":\"k\"}"), [&](DeviceRecord&) { ++calls; });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(o.out, frame(errorResponseBody(3)));
}

TEST(RequestCycle, FailureWithoutACodeWritesNothing) {
  MemoryReader in(kValid);
  MemoryWriter out;
  auto provider = makeSystemCipherProvider();
  EXPECT_THROW(runRequestCycle(
                   in, out, [](DeviceRecord&) { throw std::bad_alloc(); }, *provider),
               std::bad_alloc);
  EXPECT_EQ(out.bytes, "");
}

}  // namespace
}  // namespace quorvia
