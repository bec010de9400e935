// The whole host with scripted fakes: the answer to each request of the
// corpus, each code once with what it leaves behind (failures.tsv), and what
// the answer is made of: the error bodies, the document, Base64 and AES-CBC.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "base/text.h"
#include "corpus/corpus.h"
#include "crypto/base64.h"
#include "crypto/encrypt.h"
#include "device/probes.h"
#include "fake_system.h"
#include "host/request_cycle.h"
#include "host/response.h"
#include "memory_streams.h"

namespace quorvia {
namespace {

using fake::FakeLocalSystem;
using fake::FakeWmiSystem;

const std::string kRequest = encodeFrame(R"({"command":"DeviceInfo","version":1,"key":"0123456789abcdef"})");

DeviceCollector probesOf(FakeLocalSystem& local, FakeWmiSystem& wmi) {
  return [&](DeviceRecord& record) {
    ProbeBuffer buffer;
    collectDeviceInfo(local, wmi, record, buffer);
  };
}

// The calls that make progress, in the order the host must make them;
// "platform" stands for the session the host sets up before anything else.
const std::vector<std::string> kOrder = testing::fields(
    "platform getComputerName getAdaptersAddresses initializeSecurity createLocator connectServer setProxyBlanket "
    "execQuery openMachineKey queryValue getTotalPhysicalMemory getLogicalDrives getDiskTotalBytes getUserName open "
    "objectLength blockLength chaining key size encrypt",
    ' ');

TEST(RunHost, EachCodeIsTheOnlyAnswerAndReleasesWhatWasHeldInOrder) {
  const auto answers = testing::errorAnswers();
  const auto rows = testing::dataLines("corpus/failures.tsv");
  ASSERT_GT(rows.size(), 20u);
  for (const std::string& line : rows) {
    SCOPED_TRACE(line);
    const std::vector<std::string> row = testing::fields(line);  // code, failing call, released, request
    const int code = std::stoi(row[0]);
    fake::Log log;
    log.failAt = row[1];
    FakeLocalSystem local(log);
    FakeWmiSystem wmi(log);
    fake::FakeCipher cipher(log);
    const std::string request = row.size() > 3 ? testing::inputBytes(row[3]) : kRequest;
    testing::MemoryReader in(request + kRequest);
    testing::MemoryWriter out;
    const bool ready = log.step("platform");
    EXPECT_EQ(runHost(ready, in, out, probesOf(local, wmi), cipher), code == 0 ? 0 : 1);
    if (code != 0) {
      EXPECT_EQ(out.bytes, encodeFrame(answers.at(code)));
    }
    EXPECT_EQ(in.consumed, ready ? request.size() : 0);

    // The calls that make progress come in order, and only the releases
    // follow the last of them.
    std::vector<std::size_t> ranks;
    std::vector<std::string> after, released;
    for (const std::string& entry : log) {
      const auto at = std::find(kOrder.begin(), kOrder.end(), entry);
      if (at != kOrder.end()) ranks.push_back(static_cast<std::size_t>(at - kOrder.begin()));
      at != kOrder.end() ? after.clear() : after.push_back(entry);
    }
    for (const std::string& what : testing::fields(row[2], ','))
      if (what != "-") released.push_back("release " + what);
    EXPECT_TRUE(std::is_sorted(ranks.begin(), ranks.end()));
    EXPECT_EQ(kOrder[ranks.back()], code == 0 ? "encrypt" : row[1] == "-" ? "platform" : testing::fields(row[1], '#')[0]);
    EXPECT_EQ(after, released);
    EXPECT_EQ(local.keysOpen, 0);
    EXPECT_TRUE(wmi.everyObjectReleasedOnce());
    EXPECT_EQ(cipher.held, 0);
  }
}

TEST(RunHost, AnswersEachRequestOfTheCorpusReadingOnlyItsFrame) {
  const auto answers = testing::errorAnswers();
  const auto corpus = testing::requestCorpus();
  ASSERT_GT(corpus.size(), 50u) << "QUORVIA_TEST_DATA should name tests";
  auto cipher = makeSystemCipherProvider();
  for (const auto& row : corpus) {
    SCOPED_TRACE(row.line);
    fake::Log log;
    FakeLocalSystem local(log);
    FakeWmiSystem wmi(log);
    testing::MemoryReader in(row.input, 5);  // in pieces, as a pipe may deliver it
    testing::MemoryWriter out;
    EXPECT_EQ(runHost(true, in, out, probesOf(local, wmi), *cipher), row.status);
    // A negative length announces no body; what follows the frame is the next request's.
    const std::string header = row.input + std::string(kFrameHeaderSize, '\0');
    const auto length =
        static_cast<std::int32_t>(decodeFrameLength(reinterpret_cast<const unsigned char*>(header.data())));
    EXPECT_EQ(in.consumed, std::min(row.input.size(), kFrameHeaderSize + std::max(length, 0)));
    if (row.status != 0) {
      EXPECT_EQ(out.bytes, encodeFrame(answers.at(std::stoi(row.codeOrKey))));
      continue;
    }
    const std::size_t head = kFrameHeaderSize + 10;  // {"data": "
    const std::string data = out.bytes.substr(std::min(head, out.bytes.size()), out.bytes.size() - head - 2);
    ASSERT_EQ(out.bytes, encodeFrame("{\"data\": \"" + data + "\"}"));
    const SecretBytes plain =
        decryptPayload(data, std::u16string(row.codeOrKey.begin(), row.codeOrKey.end()), builtInIv, *cipher);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), testing::dataFile("corpus/fake_document.json"));
  }
}

TEST(RunHost, AFailureWithoutACodeWritesNothing) {
  testing::MemoryReader in(kRequest);
  testing::MemoryWriter out;
  auto cipher = makeSystemCipherProvider();
  EXPECT_THROW(runHost(
                   true, in, out, [](DeviceRecord&) { throw std::bad_alloc(); }, *cipher),
               std::bad_alloc);
  EXPECT_EQ(out.bytes, "");
}

// The tables keep one row a line.
// clang-format off
// error_answers.txt holds the body the extension receives for each code:
// the numbers and texts never change.
TEST(Answers, EachCodeHasItsFixedErrorBody) {
  const auto answers = testing::errorAnswers();
  EXPECT_GE(answers.size(), 40u) << "QUORVIA_TEST_DATA should name tests";
  for (const auto& [code, body] : answers) EXPECT_EQ(errorResponseBody(code), body);
}

// Host names, DMI strings and user names may hold any unit the system
// accepts; the extension reads the document with a strict JSON.parse.
// document.json was checked with Python's json module.
TEST(Answers, DocumentEscapesControlCharactersAndReplacesUnpairedSurrogates) {
  std::u16string controls;
  for (char16_t c = 0; c < 0x20; ++c) controls += {c, u'"', u'\\'};
  const DeviceRecord r{u"key", u"iv", controls, u"[\"00:1A:2B:3C:4D:5E\", \"0A:00:27:00:00:0B\"]", u"Back\\slash",
                       u"EX-14\" Notebook", u"A\u00E9\u0800\uFFFF\U0001F600\U0010FFFF", 17179869184, INT64_MIN,
                       {0xD800, u'x', 0xDC00, 0xD800, 0xD800, 0xDC00, 0xDBFF}, u"10.0.22631", u"ユーザー", std::u16string(u"A\0B", 3)};
  EXPECT_EQ(toUtf8(r.formatDeviceDocument()), testing::dataFile("corpus/document.json"));
}

// Valid text is decoded for every data answer of the corpus.
TEST(Answers, Base64RefusesTextItNeverWrites) {
  for (const char* bad : {"Zg=", "Z===", "Zg==Zg==", "Zm9\n", "Z=g="}) EXPECT_FALSE(decodeBase64(bad)) << bad;
}

// Expected values come from `openssl enc -aes-N-cbc` with the key text's and
// the IV text's bytes; the same table passes with Mbed TLS on Linux and CNG on
// Windows, so the two agree.
TEST(Answers, AesCbcKnownAnswers) {
  const std::u16string k16 = u"0123456789abcdef", k24 = u"0123456789abcdef01234567", k32 = u"0123456789abcdef0123456789abcdef";
  const struct {
    std::u16string key;
    std::string plain;
    std::u16string expected;
  } cases[] = {
      {k16, "", u"qArzLkND992bhaNJsi84BA=="},
      {k16, "0123456789abcde", u"IKb+SGM7WfGj2PnQc+OgtQ=="},
      {k16, "0123456789abcdef", u"MYyl2eFjegwBD4cUJwTZHcIU6q1bPtsWDYOjikKYEfA="},
      {k24, "hello", u"w2hEbi/5D3b/d3u7KkEDWw=="},
      {k24, "0123456789abcdef", u"sRjz2Xo6umCoD0HHhS57P8jmtKFU6A/oRrQplKPUUMs="},
      {k32, "0123456789abcde", u"kNsxaBxZZcE4HfgdWLcFXw=="},
      {k32, "{\n  \"hostName\": \"\xE3\x81\x82\"\n}\n", u"/O4X5xEFZxe8AqLdZdPwmcLqUNqVInpCqs9oi3zhKk8="},
  };
  auto provider = makeSystemCipherProvider();
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.plain.data());
    EXPECT_EQ(encryptPayload({bytes, c.plain.size()}, c.key, builtInIv, *provider), c.expected) << c.plain;
  }
}

}  // namespace
}  // namespace quorvia
