#include "host/request_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "host/error_info.h"
#include "host/frame.h"
#include "host/json.h"
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

// The three members the host reads, as the root object last gave them.
struct RequestMembers {
  std::optional<std::string> command;
  std::optional<double> version;
  std::optional<SecretBytes> key;  // wiped wherever it goes
};

// picojson's own context counts only arrays toward its depth limit and
// recurses into objects without one, so a deep object nest would overflow
// the stack. This one counts both, and refuses numbers a double cannot hold
// (picojson would otherwise throw from inside the parse). It keeps nothing
// but the root object's three members: everything else is checked for syntax
// and dropped, so a request padded with megabytes costs no memory beyond its
// own bytes, and the key's text goes straight into wiped memory.
class RequestParseContext {
 public:
  enum class Target { kNothing, kRootObject, kCommand, kVersion, kKey };
  struct Shared {
    RequestMembers members;
    bool numberOutOfRange = false;
  };

  RequestParseContext(Target target, std::size_t depth, Shared* shared)
      : target_(target), depth_(depth), shared_(shared) {}
  RequestParseContext(const RequestParseContext&) = delete;
  RequestParseContext& operator=(const RequestParseContext&) = delete;

  bool set_null() {
    forget();
    return true;
  }
  bool set_bool(bool) {
    forget();
    return true;
  }
  // picojson ignores this result, so the failure is recorded and checked
  // once the parse returns.
  bool set_number(double f) {
    if (!std::isfinite(f)) {
      shared_->numberOutOfRange = true;
      return false;
    }
    forget();
    if (target_ == Target::kVersion) shared_->members.version = f;
    return true;
  }
  template <typename Iter>
  bool parse_string(picojson::input<Iter>& in) {
    forget();
    RequestMembers& m = shared_->members;
    if (target_ == Target::kCommand) return picojson::_parse_string(m.command.emplace(), in);
    if (target_ == Target::kKey) return picojson::_parse_string(m.key.emplace(), in);
    picojson::null_parse_context::dummy_str discard;
    return picojson::_parse_string(discard, in);
  }
  bool parse_array_start() {
    forget();
    if (depth_ == 0) return false;
    --depth_;
    return true;
  }
  template <typename Iter>
  bool parse_array_item(picojson::input<Iter>& in, std::size_t) {
    RequestParseContext child(Target::kNothing, depth_, shared_);
    return picojson::_parse(child, in);
  }
  bool parse_array_stop(std::size_t) {
    ++depth_;
    return true;
  }
  bool parse_object_start() {
    forget();
    if (depth_ == 0) return false;
    --depth_;
    return true;
  }
  template <typename Iter>
  bool parse_object_item(picojson::input<Iter>& in, const std::string& name) {
    Target member = Target::kNothing;
    if (target_ == Target::kRootObject) {
      if (name == "command") member = Target::kCommand;
      if (name == "version") member = Target::kVersion;
      if (name == "key") member = Target::kKey;
    }
    RequestParseContext child(member, depth_, shared_);
    return picojson::_parse(child, in);
  }
  bool parse_object_stop() {
    ++depth_;
    return true;
  }

 private:
  // A member given again replaces what it held before, whatever its type.
  void forget() {
    RequestMembers& m = shared_->members;
    if (target_ == Target::kCommand) m.command.reset();
    if (target_ == Target::kVersion) m.version.reset();
    if (target_ == Target::kKey) m.key.reset();
  }

  Target target_;
  std::size_t depth_;
  Shared* shared_;
};

std::int32_t readLength(ByteReader& in) {
  std::uint8_t header[kFrameHeaderSize] = {};
  std::size_t got = 0;
  while (got < sizeof header) {
    const std::size_t n = in.read(header + got, sizeof header - got);
    if (n == 0) break;  // bytes that never came stay 0
    got += n;
  }
  return static_cast<std::int32_t>(decodeFrameLength(header));
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
  RequestParseContext::Shared parsed;
  {
    const SecretBytes body = readBody(in, readLength(in));
    // A root that is not an object has none of the members.
    RequestParseContext context(RequestParseContext::Target::kRootObject, kMaxJsonDepth, &parsed);
    picojson::input<SecretBytes::const_iterator> input(body.cbegin(), body.cend());
    const bool ok = picojson::_parse(context, input);
    if (!ok || parsed.numberOutOfRange) throw ErrorInfo{errc::kUnreadableJson};
  }

  const RequestMembers& m = parsed.members;
  if (m.command) request.command = fromLocaleMultibyte(*m.command);
  if (m.version) request.version = toVersion(*m.version);
  if (m.key) {
    request.key = fromLocaleMultibyte(std::string_view(reinterpret_cast<const char*>(m.key->data()), m.key->size()));
  }

  if (request.command.empty() || request.key.empty() || request.version == 0) throw ErrorInfo{errc::kInvalidRequest};
  if (request.command != kCommandName) throw ErrorInfo{errc::kUnknownCommand};
  if (request.version > kHighestVersion) throw ErrorInfo{errc::kVersionTooNew};
}

}  // namespace quorvia
