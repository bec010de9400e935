// What the answer is made of: the error texts, the document, UTF-8, Base64
// and AES-CBC.
#include <gtest/gtest.h>

#include <clocale>

#include "corpus/corpus.h"
#include "crypto/base64.h"
#include "crypto/encrypt.h"
#include "device/device_record.h"
#include "host/error_info.h"
#include "host/json.h"
#include "host/request_cycle.h"
#include "host/response.h"
#include "host/text.h"
#include "memory_streams.h"

// The tables keep one row a line.
// clang-format off
namespace quorvia {
namespace {

// error_answers.txt holds the body the extension receives for each code:
// the numbers and texts never change.
TEST(Answers, EachCodeHasItsFixedErrorBody) {
  const auto answers = testing::errorAnswers();
  EXPECT_GE(answers.size(), 40u) << "QUORVIA_TEST_DATA should name tests/corpus";
  for (const auto& [code, body] : answers) EXPECT_EQ(errorResponseBody(code), body);
  testing::MemoryWriter out;
  writeErrorResponse(out, ErrorInfo{2});
  EXPECT_EQ(out.bytes.substr(0, 4), std::string("\x41\x00\x00\x00", 4));  // the length, little-endian
}

TEST(Answers, DocumentQuotesValuesEscapingQuoteBackslashAndControlCharacters) {
  const DeviceRecord r{u"secret-key", u"iv", u"WS-0042", u"[\"00:1A:2B:3C:4D:5E\", \"0A:00:27:00:00:0B\"]",
                       u"Back\\slash", u"EX-14\" Notebook", u"  Tab\there", 17179869184, -1, u"Line\nfeed",
                       u"10.0.22631", u"ユーザー", std::u16string(u"A\0B", 3)};
  EXPECT_EQ(r.formatDeviceDocument(), u"{\n"
                                      u"  \"hostName\": \"WS-0042\",\n"
                                      u"  \"macAddress\": [\"00:1A:2B:3C:4D:5E\", \"0A:00:27:00:00:0B\"],\n"
                                      u"  \"venderName\": \"Back\\\\slash\",\n"
                                      u"  \"deviceName\": \"EX-14\\\" Notebook\",\n"
                                      u"  \"cpuName\": \"  Tab\\u0009here\",\n"
                                      u"  \"mainMemory\": 17179869184,\n"
                                      u"  \"storageSize\": -1,\n"
                                      u"  \"osName\": \"Line\\u000afeed\",\n"
                                      u"  \"osVersion\": \"10.0.22631\",\n"
                                      u"  \"authorizedOsUser\": \"ユーザー\",\n"
                                      u"  \"deviceId\": \"A\\u0000B\"\n}\n");
  // Host names, DMI strings and user names may hold any character the system
  // accepts; the extension reads the document with a strict JSON.parse.
  std::u16string all;
  for (char16_t c = 0; c < 0x20; ++c) all += {c, u'"', u'\\', u'\u3042'};
  const DeviceRecord odd{u"k", u"iv", all, u"[]", all, all, all, 0, 0, all, all, all, all};
  picojson::value doc;
  ASSERT_EQ(picojson::parse(doc, toUtf8(odd.formatDeviceDocument())), "");
  for (const char* name : {"hostName", "venderName", "deviceName", "cpuName", "osName", "osVersion", "authorizedOsUser", "deviceId"}) {
    EXPECT_EQ(doc.get(name).to_str(), toUtf8(all)) << name;
  }
}

TEST(Answers, Utf8OfEveryRangeWithUnpairedSurrogatesReplaced) {
  const struct {
    std::u16string text;
    std::string utf8;
  } cases[] = {
      {u"A\u00E9\u0800\uFFFF", "A\xC3\xA9\xE0\xA0\x80\xEF\xBF\xBF"},
      {{0xD83D, 0xDE00, 0xDBFF, 0xDFFF}, "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {{0xD800, u'x', 0xDC00, 0xD800, 0xD800, 0xDC00, 0xDBFF}, "\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x90\x80\x80\xEF\xBF\xBD"},
      {{u'a', 0, u'b'}, std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(toUtf8(c.text), c.utf8);
}

TEST(Answers, Base64Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},           {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "+/8="},
  };
  for (const auto& [plain, text] : cases) {
    const std::u16string encoded = encodeBase64(reinterpret_cast<const std::uint8_t*>(plain.data()),
                                                static_cast<std::int32_t>(plain.size()));
    EXPECT_EQ(std::string(encoded.begin(), encoded.end()), text);
    const auto decoded = decodeBase64(text);
    ASSERT_TRUE(decoded.has_value()) << text;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
  }
  for (const char* bad : {"Zg=", "Z===", "Zg==Zg==", "Zm9\n", "Z=g="}) EXPECT_FALSE(decodeBase64(bad)) << bad;
}

// Expected values come from `openssl enc -aes-N-cbc` with the key text's and
// the IV text's bytes; the same table passes with Mbed TLS on Linux and CNG on
// Windows, so the two agree.
TEST(Answers, AesCbcKnownAnswersAndKeyLengths) {
  const std::u16string k16 = u"0123456789abcdef", k24 = u"0123456789abcdef01234567",
                       k32 = u"0123456789abcdef0123456789abcdef";
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
  std::setlocale(LC_CTYPE, "C");
  for (const std::u16string& key : {std::u16string(15, u'k'), std::u16string(17, u'k'), std::u16string(31, u'k'),
                                    std::u16string(33, u'k'), std::u16string(64, u'k'), std::u16string(16, u'\u3042')}) {
    try {
      encryptPayload({}, key, builtInIv, *provider);
      ADD_FAILURE() << key.size() << " units accepted";
    } catch (const ErrorInfo& e) {
      EXPECT_EQ(e.code, errc::kCipherKey);
    }
  }
}

}  // namespace
}  // namespace quorvia
