#include "host/request_reader.h"

#include <gtest/gtest.h>

#include <clocale>

#include "host/error_info.h"
#include "memory_streams.h"

namespace quorvia {
namespace {

using testing::frame;
using testing::MemoryReader;

// The code readRequest raises for `input`, or 0 when it accepts it.
int codeFor(const std::string& input, HostRequest* out = nullptr, std::size_t step = SIZE_MAX) {
  MemoryReader reader(input, step);
  HostRequest request;
  try {
    readRequest(reader, request);
  } catch (const ErrorInfo& e) {
    return e.code;
  }
  if (out) *out = request;
  return 0;
}

int codeForBody(const std::string& body) { return codeFor(frame(body)); }

std::string request(const std::string& version, const std::string& command = "\"DeviceInfo\"",
                    const std::string& key = "\"0123456789abcdef\"") {
  return "{\"command\":" + command + ",\"version\":" + version + ",\"key\":" + key + "}";
}

TEST(RequestReader, AcceptsAValidRequestAndFillsIt) {
  HostRequest r;
  ASSERT_EQ(codeFor(frame(request("3")), &r), 0);
  EXPECT_EQ(r.command, u"DeviceInfo");
  EXPECT_EQ(r.version, 3);
  EXPECT_EQ(r.key, u"0123456789abcdef");
  // Member order and extra members of any type do not matter.
  EXPECT_EQ(codeForBody(R"({"x":[1,{"y":null}],"key":"k","z":true,"version":2,"command":"DeviceInfo"})"), 0);
}

TEST(RequestReader, UnreadableBodiesAreCodeOne) {
  EXPECT_EQ(codeFor(""), 1);                          // nothing at all
  EXPECT_EQ(codeFor(std::string("\x05\x00", 2)), 1);  // header cut short, no body
  EXPECT_EQ(codeFor(frame("")), 1);
  EXPECT_EQ(codeForBody("{\"command\":"), 1);
  EXPECT_EQ(codeForBody("{command:1}"), 1);
  EXPECT_EQ(codeForBody("{\"command\":\"Device\tInfo\",\"version\":1,\"key\":\"k\"}"), 1);  // raw control character
  EXPECT_EQ(codeForBody(std::string("{\"command\":\"DeviceInfo\",\0\"version\":1}", 35)), 1);
  EXPECT_EQ(codeForBody("   "), 1);
}

TEST(RequestReader, TakesTheFirstValueAndWhatArrived) {
  // A length larger than what follows: the bytes that came are the body.
  const std::string body = request("1");
  std::string shortFrame = frame(body + "    ");
  EXPECT_EQ(codeFor(shortFrame.substr(0, shortFrame.size() - 4)), 0);
  // Text after the first complete value, and a zero byte right after it.
  EXPECT_EQ(codeForBody(body + " trailing ]]] garbage"), 0);
  EXPECT_EQ(codeForBody(body + std::string("\0{{{", 4)), 0);
  // One byte at a time, as a slow pipe might deliver it.
  EXPECT_EQ(codeFor(frame(body), nullptr, 1), 0);
}

TEST(RequestReader, ReadsOnlyItsOwnFrame) {
  const std::string first = frame(request("1"));
  MemoryReader reader(first + frame(request("1", "\"Other\"")));
  HostRequest r;
  readRequest(reader, r);
  EXPECT_EQ(reader.consumed(), first.size());
}

TEST(RequestReader, NegativeLengthMeansNoBodyAndNothingMoreIsRead) {
  MemoryReader reader(std::string("\xFF\xFF\xFF\xFF", 4) + request("1"));
  HostRequest r;
  try {
    readRequest(reader, r);
    FAIL() << "accepted a frame without a body";
  } catch (const ErrorInfo& e) {
    EXPECT_EQ(e.code, 1);
  }
  EXPECT_EQ(reader.consumed(), 4u);
}

TEST(RequestReader, HugeAnnouncedLengthWithShortBodyIsAnswered) {
  // 2,147,483,646 announced; memory must follow what arrives.
  const std::string body = request("1");
  EXPECT_EQ(codeFor(std::string("\xFE\xFF\xFF\x7F", 4) + body), 0);
}

TEST(RequestReader, MissingEmptyOrWrongTypedMembersAreCodeTwo) {
  EXPECT_EQ(codeForBody(request("1", "\"DeviceInfo\"", "\"\"")), 2);
  EXPECT_EQ(codeForBody(R"({"command":"DeviceInfo","version":1})"), 2);
  EXPECT_EQ(codeForBody(R"({"version":1,"key":"k"})"), 2);
  EXPECT_EQ(codeForBody(R"({"command":"DeviceInfo","key":"k"})"), 2);
  EXPECT_EQ(codeForBody(request("\"1\"")), 2);
  EXPECT_EQ(codeForBody(request("0.5")), 2);
  EXPECT_EQ(codeForBody(request("-0.9")), 2);
  EXPECT_EQ(codeForBody(request("0")), 2);
  EXPECT_EQ(codeForBody(request("1", "7")), 2);
  EXPECT_EQ(codeForBody(request("1", "\"DeviceInfo\"", "[\"k\"]")), 2);
  EXPECT_EQ(codeForBody(request("1", "\"DeviceInfo\"", "null")), 2);
  // Emptiness is judged before the command and the version.
  EXPECT_EQ(codeForBody(R"({"command":"Other","version":20000})"), 2);
}

TEST(RequestReader, RootThatIsNotAnObjectHasNoMembers) {
  for (const char* body : {"[1,2]", "\"DeviceInfo\"", "42", "true", "false", "null"}) {
    EXPECT_EQ(codeForBody(body), 2) << body;
  }
}

TEST(RequestReader, CommandMustMatchExactly) {
  EXPECT_EQ(codeForBody(request("1", "\"deviceinfo\"")), 3);
  EXPECT_EQ(codeForBody(request("1", "\"DeviceInfo \"")), 3);
  EXPECT_EQ(codeForBody(request("1", "\"DeviceInfoX\"")), 3);
  EXPECT_EQ(codeForBody(request("1", "\" DeviceInfo\"")), 3);
  // A zero character ends the text: what follows it does not count.
  EXPECT_EQ(codeForBody(request("1", "\"DeviceInfo\\u0000more\"")), 0);
}

TEST(RequestReader, VersionLimits) {
  HostRequest r;
  EXPECT_EQ(codeForBody(request("10000")), 0);
  EXPECT_EQ(codeForBody(request("10001")), 4);
  EXPECT_EQ(codeFor(frame(request("10000.9")), &r), 0);
  EXPECT_EQ(r.version, 10000);
  EXPECT_EQ(codeFor(frame(request("-3")), &r), 0);
  EXPECT_EQ(r.version, -3);
  // Beyond 32 bits the value saturates instead of wrapping.
  EXPECT_EQ(codeForBody(request("1e10")), 4);
  EXPECT_EQ(codeForBody(request("4294967297")), 4);
  EXPECT_EQ(codeFor(frame(request("-1e10")), &r), 0);
  EXPECT_EQ(r.version, INT32_MIN);
  // The first invalid rule wins: a bad command outranks a bad version.
  EXPECT_EQ(codeForBody(request("20000", "\"Other\"")), 3);
}

TEST(RequestReader, NumbersBeyondADoubleAreUnreadable) {
  EXPECT_EQ(codeForBody(request("1e400")), 1);
  EXPECT_EQ(codeForBody(request("-1e400")), 1);
  EXPECT_EQ(codeForBody(R"({"pad":[1e999],"command":"DeviceInfo","version":1,"key":"k"})"), 1);
  EXPECT_EQ(codeForBody(request("1e-400")), 2);  // underflows to zero, a number all the same
}

std::string nested(std::size_t depth, char open, char close, const std::string& inner = "1") {
  return std::string(depth, open) + inner + std::string(depth, close);
}

std::string nestedObjects(std::size_t depth) {
  std::string s;
  for (std::size_t i = 0; i < depth; ++i) s += "{\"a\":";
  s += "1";
  s += std::string(depth, '}');
  return s;
}

TEST(RequestReader, ArraysAndObjectsTogetherNestAHundredLevels) {
  // The request object is the first level.
  const std::string valid = request("1");
  auto withPad = [&](const std::string& pad) { return "{\"pad\":" + pad + "," + valid.substr(1); };
  EXPECT_EQ(codeForBody(withPad(nested(99, '[', ']'))), 0);
  EXPECT_EQ(codeForBody(withPad(nested(100, '[', ']'))), 1);
  EXPECT_EQ(codeForBody(withPad(nestedObjects(99))), 0);
  EXPECT_EQ(codeForBody(withPad(nestedObjects(100))), 1);
  std::string mixed;
  for (int i = 0; i < 50; ++i) mixed += "[{\"a\":";
  mixed += "1";
  for (int i = 0; i < 50; ++i) mixed += "}]";
  EXPECT_EQ(codeForBody(withPad(mixed)), 1);  // 101 levels with the request object
}

TEST(RequestReader, DeepNestingFailsWithoutExhaustingTheStack) {
  EXPECT_EQ(codeForBody(nestedObjects(200000)), 1);
  EXPECT_EQ(codeForBody(nested(200000, '[', ']')), 1);
  EXPECT_EQ(codeForBody(std::string(200000, '{')), 1);
}

TEST(RequestReader, NonAsciiMembersAreReadInTheLocaleEncoding) {
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 C locale in this runtime";
  HostRequest r;
  EXPECT_EQ(codeFor(frame(request("1", "\"DeviceInfo\"", "\"\xE3\x81\x82\"")), &r), 0);
  EXPECT_EQ(r.key, u"\u3042");
  // Bytes that are not valid in the locale read as empty text.
  EXPECT_EQ(codeForBody(request("1", "\"DeviceInfo\"", "\"ab\xFF\"")), 2);
  std::setlocale(LC_CTYPE, "C");
}

}  // namespace
}  // namespace quorvia
