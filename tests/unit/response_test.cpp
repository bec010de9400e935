#include "host/response.h"

#include <gtest/gtest.h>

#include "device/device_record.h"
#include "memory_streams.h"

namespace quorvia {
namespace {

using testing::MemoryWriter;

std::string headerOf(const std::string& frame) { return frame.substr(0, 4); }

TEST(ErrorResponse, ExactBytesOfTheFrame) {
  MemoryWriter out;
  writeErrorResponse(out, ErrorInfo{2});
  const std::string body = "{\"errorCode\": 2,\"errorMessage\": \"入力情報が無効です。\"}";
  ASSERT_EQ(body.size(), 65u);
  EXPECT_EQ(out.bytes, std::string("\x41\x00\x00\x00", 4) + body);
  EXPECT_EQ(out.flushes, 1);
}

TEST(ErrorResponse, BodyLengthsOfCodesWithFixedTexts) {
  EXPECT_EQ(errorResponseBody(3).size(), 65u);
  EXPECT_EQ(errorResponseBody(11).size(), 75u);
  EXPECT_EQ(errorResponseBody(101).size(), 81u);
  EXPECT_EQ(errorResponseBody(4),
            "{\"errorCode\": 4,\"errorMessage\": \"無効なバージョンです。Quorvia拡張を更新してください。\"}");
  EXPECT_EQ(errorResponseBody(306),
            "{\"errorCode\": 306,\"errorMessage\": \"venderName/deviceName/hostName/osName/"
            "osVersionが取得できませんでした。（ Query failed. ）\"}");
}

TEST(ErrorResponse, CodesSharingAText) {
  const std::vector<std::vector<int>> groups = {{1, 2}, {22, 24}, {23, 25, 29, 32}, {28, 30, 31, 33}, {305, 306}};
  for (const auto& group : groups) {
    for (int code : group) EXPECT_EQ(errorMessageFor(code), errorMessageFor(group.front())) << code;
  }
  EXPECT_NE(errorMessageFor(201), errorMessageFor(202));
  EXPECT_NE(errorMessageFor(401), errorMessageFor(402));
  EXPECT_EQ(errorMessageFor(27), u"暗号化処理に失敗しました。（ Error: returned by BCryptGenerateSymmetricKey ）");
  EXPECT_EQ(errorMessageFor(401), u"cpuNameが取得できませんでした。（レジストリのキーが開けませんでした。）");
}

TEST(ErrorResponse, UnknownCodesGetTheDefaultTextWithTheWholeNumber) {
  EXPECT_EQ(errorMessageFor(0), u"未知のエラーコード(0)");
  EXPECT_EQ(errorMessageFor(5), u"未知のエラーコード(5)");
  EXPECT_EQ(errorMessageFor(99), u"未知のエラーコード(99)");
  EXPECT_EQ(errorMessageFor(-1), u"未知のエラーコード(-1)");
  EXPECT_EQ(errorMessageFor(-2147483647 - 1), u"未知のエラーコード(-2147483648)");
  EXPECT_EQ(errorMessageFor(123456789), u"未知のエラーコード(123456789)");
  EXPECT_EQ(errorResponseBody(-1), "{\"errorCode\": -1,\"errorMessage\": \"未知のエラーコード(-1)\"}");
}

TEST(Frame, LengthIsLittleEndianAndWrittenRaw) {
  MemoryWriter out;
  const std::string body(266, 'x');
  writeFrame(out, body);
  EXPECT_EQ(headerOf(out.bytes), std::string("\x0A\x01\x00\x00", 4));
  EXPECT_EQ(out.bytes.size(), 270u);
  MemoryWriter big;
  writeFrame(big, std::string(0x01020304 & 0xFFFFF, 'y'));
  EXPECT_EQ(headerOf(big.bytes), std::string("\x04\x03\x02\x00", 4));
  MemoryWriter empty;
  writeFrame(empty, "");
  EXPECT_EQ(empty.bytes, std::string(4, '\0'));
}

TEST(DeviceDocument, EmptyRecord) {
  DeviceRecord record;
  record.macAddress = u"[]";
  record.cipherKey = u"secret-key-text";
  record.cipherIv = u"Hq4ZrW8nLc2VtK6p";
  EXPECT_EQ(record.formatDeviceDocument(),
            u"{\n"
            u"  \"hostName\": \"\",\n"
            u"  \"macAddress\": [],\n"
            u"  \"venderName\": \"\",\n"
            u"  \"deviceName\": \"\",\n"
            u"  \"cpuName\": \"\",\n"
            u"  \"mainMemory\": 0,\n"
            u"  \"storageSize\": 0,\n"
            u"  \"osName\": \"\",\n"
            u"  \"osVersion\": \"\",\n"
            u"  \"authorizedOsUser\": \"\",\n"
            u"  \"deviceId\": \"\"\n"
            u"}\n");
}

TEST(DeviceDocument, ValuesAreQuotedWithQuoteBackslashAndControlCharactersEscaped) {
  DeviceRecord r;
  r.hostName = u"WS-0042";
  r.macAddress = u"[\"00:1A:2B:3C:4D:5E\", \"0A:00:27:00:00:0B\"]";
  r.venderName = u"Back\\slash";
  r.deviceName = u"EX-14\" Notebook";
  r.cpuName = u"  Tab\there";
  r.mainMemory = 17179869184;
  r.storageSize = -1;
  r.osName = u"Line\nfeed";
  r.osVersion = u"10.0.22631";
  r.authorizedOsUser = u"ユーザー";
  r.deviceId = std::u16string(u"A\0B", 3);
  EXPECT_EQ(r.formatDeviceDocument(),
            u"{\n"
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
            u"  \"deviceId\": \"A\\u0000B\"\n"
            u"}\n");
}

}  // namespace
}  // namespace quorvia
