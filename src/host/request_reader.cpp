#include "host/request_reader.h"

#include "host/json.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "host/error_info.h"
#include "host/secret.h"
#include "host/text.h"

namespace quorvia {

namespace {

const std::u16string_view kCommandName = u"DeviceInfo";
constexpr std::int32_t kHighestVersion = 10000;
// Memory follows the bytes that arrive, never the announced length, so a
// header claiming 2 GiB costs nothing until the bytes are really there.
constexpr std::size_t kFirstChunk = 4 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;

// picojson's own context counts only arrays toward its depth limit and
// recurses into objects without one, so a deep object nest would overflow
// the stack. This one counts both, and refuses numbers a double cannot hold
// (picojson would otherwise throw from inside the parse). It also keeps only
// the root object's three members: everything else is checked for syntax and
// dropped, so a request padded with megabytes of other members costs no
// memory beyond its own bytes.
class RequestParseContext {
 public:
  struct Shared {
    bool numberOutOfRange = false;
  };

  // `out` null: validate without keeping anything.
  RequestParseContext(picojson::value* out, std::size_t depth, Shared* shared, bool root = false)
      : out_(out), depth_(depth), shared_(shared), root_(root) {}
  RequestParseContext(const RequestParseContext&) = delete;
  RequestParseContext& operator=(const RequestParseContext&) = delete;

  bool set_null() {
    if (out_) *out_ = picojson::value();
    return true;
  }
  bool set_bool(bool b) {
    if (out_) *out_ = picojson::value(b);
    return true;
  }
  // picojson ignores this result, so the failure is recorded and checked
  // once the parse returns.
  bool set_number(double f) {
    if (!std::isfinite(f)) {
      shared_->numberOutOfRange = true;
      return false;
    }
    if (out_) *out_ = picojson::value(f);
    return true;
  }
  template <typename Iter>
  bool parse_string(picojson::input<Iter>& in) {
    if (!out_ || root_) {  // a root that is a string has no members to keep
      picojson::null_parse_context::dummy_str discard;
      return picojson::_parse_string(discard, in);
    }
    *out_ = picojson::value(picojson::string_type, false);
    return picojson::_parse_string(out_->get<std::string>(), in);
  }
  bool parse_array_start() {
    if (depth_ == 0) return false;
    --depth_;
    return true;
  }
  template <typename Iter>
  bool parse_array_item(picojson::input<Iter>& in, std::size_t) {
    RequestParseContext child(nullptr, depth_, shared_);
    return picojson::_parse(child, in);
  }
  bool parse_array_stop(std::size_t) {
    ++depth_;
    return true;
  }
  bool parse_object_start() {
    if (depth_ == 0) return false;
    --depth_;
    if (out_ && root_) *out_ = picojson::value(picojson::object_type, false);
    return true;
  }
  template <typename Iter>
  bool parse_object_item(picojson::input<Iter>& in, const std::string& key) {
    picojson::value* keep = nullptr;
    if (out_ && root_ && (key == "command" || key == "version" || key == "key")) {
      keep = &out_->get<picojson::object>()[key];
    }
    RequestParseContext child(keep, depth_, shared_);
    return picojson::_parse(child, in);
  }
  bool parse_object_stop() {
    ++depth_;
    return true;
  }

 private:
  picojson::value* out_;
  std::size_t depth_;
  Shared* shared_;
  bool root_;
};

std::int32_t readLength(ByteReader& in) {
  std::uint8_t header[4] = {0, 0, 0, 0};
  std::size_t got = 0;
  while (got < sizeof header) {
    const std::size_t n = in.read(header + got, sizeof header - got);
    if (n == 0) break;  // bytes that never came stay 0
    got += n;
  }
  const std::uint32_t raw = std::uint32_t{header[0]} | (std::uint32_t{header[1]} << 8) |
                            (std::uint32_t{header[2]} << 16) | (std::uint32_t{header[3]} << 24);
  return static_cast<std::int32_t>(raw);
}

// The body text: what arrived of the announced length, up to the first zero
// byte. Bytes after a zero byte are consumed but not kept.
SecretBytes readBody(ByteReader& in, std::int32_t length) {
  SecretBytes body;
  if (length <= 0) return body;  // a negative length announces no body
  std::size_t remaining = static_cast<std::size_t>(length);
  bool ended = false;  // a zero byte ended the text
  std::uint8_t discard[4096];
  while (remaining > 0) {
    if (ended) {
      const std::size_t n = in.read(discard, std::min(remaining, sizeof discard));
      if (n == 0) break;
      remaining -= n;
      continue;
    }
    // Small reads for a small body, growing with what has come.
    const std::size_t want = std::min(remaining, std::clamp(body.size(), kFirstChunk, kReadChunk));
    const std::size_t old = body.size();
    body.resize(old + want);
    const std::size_t n = in.read(body.data() + old, want);
    body.resize(old + n);
    if (n == 0) break;
    remaining -= n;
    if (const void* nul = std::memchr(body.data() + old, 0, n)) {
      body.resize(static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - body.data()));
      ended = true;
    }
  }
  secureWipe(discard, sizeof discard);
  return body;
}

// Truncation toward zero; values beyond the 32-bit range saturate so a huge
// version still reads as "too new" and a huge negative one as negative.
std::int32_t toVersion(double number) {
  if (number >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (number <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(number);
}

}  // namespace

void readRequest(ByteReader& in, HostRequest& request) {
  picojson::value root;
  {
    SecretBytes body = readBody(in, readLength(in));
    RequestParseContext::Shared shared;
    RequestParseContext context(&root, kMaxJsonDepth, &shared, true);
    picojson::input<SecretBytes::const_iterator> input(body.cbegin(), body.cend());
    const bool parsed = picojson::_parse(context, input);
    if (!parsed || shared.numberOutOfRange) throw ErrorInfo{1};
  }

  // A root that is not an object has none of the members.
  if (root.is<picojson::object>()) {
    picojson::object& members = root.get<picojson::object>();
    if (auto it = members.find("command"); it != members.end() && it->second.is<std::string>()) {
      request.command = fromLocaleMultibyte(it->second.get<std::string>());
    }
    if (auto it = members.find("version"); it != members.end() && it->second.is<double>()) {
      request.version = toVersion(it->second.get<double>());
    }
    if (auto it = members.find("key"); it != members.end() && it->second.is<std::string>()) {
      std::string& key = it->second.get<std::string>();
      request.key = fromLocaleMultibyte(key);
      secureWipe(key.data(), key.size());
    }
  }

  if (request.command.empty() || request.key.empty() || request.version == 0) throw ErrorInfo{2};
  if (request.command != kCommandName) throw ErrorInfo{3};
  if (request.version > kHighestVersion) throw ErrorInfo{4};
}

}  // namespace quorvia
