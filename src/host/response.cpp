#include "host/response.h"

#include "base/secret.h"
#include "base/text.h"
#include "crypto/encrypt.h"
#include "host/frame.h"

namespace quorvia {

namespace {

constexpr std::u16string_view kInvalidInput = u"入力情報が無効です。";
constexpr std::u16string_view kEncryptionFailed = u"暗号化処理に失敗しました。";
constexpr std::u16string_view kWmiFailed = u"venderName/deviceName/hostName/osName/osVersionが取得できませんでした。";

std::u16string encryptionMessage(std::u16string_view detail) {
  std::u16string text(kEncryptionFailed);
  text += u"（ Error: ";
  text += detail;
  text += u" ）";
  return text;
}

std::u16string wmiMessage(std::u16string_view detail) {
  std::u16string text(kWmiFailed);
  text += u"（ ";
  text += detail;
  text += u" ）";
  return text;
}

}  // namespace

// The numbered cases that no step raises are kept: the extension may know them.
std::u16string errorMessageFor(std::int32_t code) {
  switch (code) {
    case errc::kUnreadableJson:
    case errc::kInvalidRequest:
      return std::u16string(kInvalidInput);
    case errc::kUnknownCommand:
      return u"未知のコマンドです。";
    case errc::kVersionTooNew:
      return u"無効なバージョンです。Quorvia拡張を更新してください。";
    case errc::kComInit:
      return u"COMの初期化に失敗しました。";
    case errc::kCipherOpen:
      return encryptionMessage(u"returned by BCryptOpenAlgorithmProvider");
    case errc::kCipherObjectLength:
    case errc::kCipherBlockLength:
      return encryptionMessage(u"returned by BCryptGetProperty");
    case 23:
    case 25:
    case 29:
    case 32:
      return encryptionMessage(u"memory allocation failed");
    case errc::kCipherChainingMode:
      return encryptionMessage(u"returned by BCryptSetProperty");
    case errc::kCipherKey:
      return encryptionMessage(u"returned by BCryptGenerateSymmetricKey");
    case 28:
    case 30:
    case errc::kCipherSize:
    case errc::kCipherEncrypt:
      return encryptionMessage(u"returned by BCryptExportKey");
    case 34:
      return encryptionMessage(u"returned by BCryptDestroyKey");
    case errc::kHostName:
      return u"hostNameが取得できませんでした。";
    case errc::kAdapters:
      return u"macAddressが取得できませんでした。（作業領域が確保できませんでした。）";
    case 202:
      return u"macAddressが取得できませんでした。";
    case errc::kWmiSecurity:
      return wmiMessage(u"Failed to initialize security.");
    case errc::kWmiLocator:
      return wmiMessage(u"Failed to create IWbemLocator object.");
    case errc::kWmiConnect:
      return wmiMessage(u"Could not connect.");
    case errc::kWmiProxyBlanket:
      return wmiMessage(u"Could not set proxy blanket.");
    case errc::kWmiQuery:
    case errc::kWmiLaterQuery:
      return wmiMessage(u"Query failed.");
    case errc::kProcessorKey:
      return u"cpuNameが取得できませんでした。（レジストリのキーが開けませんでした。）";
    case errc::kProcessorValue:
      return u"cpuNameが取得できませんでした。（エントリーが見つかりませんでした。）";
    case errc::kMemory:
      return u"mainMemoryが取得できませんでした。";
    case errc::kStorage:
      return u"storageSizeが取得できませんでした。";
    case errc::kUserName:
      return u"userNameが取得できませんでした。";
    default: {
      // The whole code is written whatever its length.
      std::u16string text = u"未知のエラーコード(";
      appendDecimal(text, code);
      text += u")";
      return text;
    }
  }
}

std::string errorResponseBody(std::int32_t code) {
  std::u16string text = u"{";
  appendQuoted(text, u"errorCode");
  text += u": ";
  appendDecimal(text, code);
  text += u",";
  appendQuoted(text, u"errorMessage");
  text += u": ";
  appendQuoted(text, errorMessageFor(code));
  text += u"}";
  return toUtf8(text);
}

void writeFrame(ByteWriter& out, std::string_view body) {
  unsigned char header[kFrameHeaderSize];
  encodeFrameLength(static_cast<std::uint32_t>(body.size()), header);
  out.write(header, sizeof header);
  out.write(body.data(), body.size());
  out.flush();
}

void writeErrorResponse(ByteWriter& out, const ErrorInfo& error) { writeFrame(out, errorResponseBody(error.code)); }

void writeDataResponse(ByteWriter& out, const DeviceRecord& record, CipherProvider& cipher) {
  std::string body;
  {
    std::u16string document = record.formatDeviceDocument();
    const SecretBytes plaintext = toUtf8<SecretBytes>(document);
    secureWipe(document.data(), document.size() * sizeof(char16_t));
    const std::u16string base64 = encryptPayload(plaintext, record.cipherKey, record.cipherIv, cipher);
    // Base64 needs no escaping and is ASCII, so the body is built directly.
    body.reserve(base64.size() + 12);
    body += "{\"data\": \"";
    for (char16_t c : base64) body.push_back(static_cast<char>(c));
    body += "\"}";
  }
  writeFrame(out, body);
}

}  // namespace quorvia
