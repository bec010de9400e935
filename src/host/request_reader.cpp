#include "host/request_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "base/error_info.h"
#include "base/secret.h"
#include "base/text.h"
#include "host/frame.h"
#include "host/json.h"

namespace quorvia {

namespace {

const std::u16string_view kCommandName = u"DeviceInfo";
constexpr std::int32_t kHighestVersion = 10000;
// The parser reads the body straight from the stream, a chunk at a time, so
// memory follows the members the host keeps, never the announced length or
// the body's size.
constexpr std::size_t kReadChunk = 64 * 1024;
// The request's texts are made wide only this far: a command this long is
// unknown and a key this long has too many bytes, whatever follows.
constexpr std::size_t kMaxTextUnits = 64;

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
// and dropped, so a request padded with megabytes costs no memory, and the
// key's text goes straight into wiped memory.
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

// The body as the parser reads it: what arrives of the announced length, up
// to the first zero byte. Whatever the parser leaves is consumed by drain().
class BodyStream {
 public:
  // A negative length announces no body. The chunk is no larger than the
  // body: a small request touches one page of it, not sixteen.
  BodyStream(ByteReader& in, std::int32_t length)
      : in_(in),
        remaining_(length > 0 ? static_cast<std::size_t>(length) : 0),
        size_(std::clamp<std::size_t>(remaining_, 1, kReadChunk)),
        chunk_(std::make_unique_for_overwrite<std::uint8_t[]>(size_)) {}
  BodyStream(const BodyStream&) = delete;
  BodyStream& operator=(const BodyStream&) = delete;
  // Only what was read is wiped: touching the untouched rest of the chunk
  // would cost a page fault per page, at every start.
  ~BodyStream() { secureWipe(chunk_.get(), filled_); }

  bool atEnd() {
    if (next_ == end_ && !ended_) refill();
    return next_ == end_;
  }
  char current() const { return static_cast<char>(chunk_[next_]); }
  void advance() { ++next_; }

  void drain() {
    ended_ = true;
    while (remaining_ > 0) {
      const std::size_t n = in_.read(chunk_.get(), std::min(remaining_, size_));
      if (n == 0) break;
      filled_ = std::max(filled_, n);
      remaining_ -= n;
    }
  }

 private:
  void refill() {
    next_ = end_ = 0;
    if (remaining_ == 0) return;
    const std::size_t n = in_.read(chunk_.get(), std::min(remaining_, size_));
    remaining_ = n == 0 ? 0 : remaining_ - n;
    filled_ = std::max(filled_, n);
    end_ = n;
    if (const void* nul = std::memchr(chunk_.get(), 0, n)) {
      end_ = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - chunk_.get());
      ended_ = true;
    }
  }

  ByteReader& in_;
  std::size_t remaining_;
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> chunk_;
  std::size_t filled_ = 0;  // how much of the chunk has ever held body bytes
  std::size_t next_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;  // a zero byte ended the text
};

// The parser's view of a BodyStream; the default-made iterator is its end.
class BodyIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  BodyIterator() = default;
  explicit BodyIterator(BodyStream& body) : body_(&body) {}
  char operator*() const { return body_->current(); }
  BodyIterator& operator++() {
    body_->advance();
    return *this;
  }
  bool operator==(const BodyIterator& other) const { return atEnd() && other.atEnd(); }
  bool operator!=(const BodyIterator& other) const { return !(*this == other); }

 private:
  bool atEnd() const { return body_ == nullptr || body_->atEnd(); }
  BodyStream* body_ = nullptr;
};

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
    const std::int32_t length = readLength(in);
    BodyStream body(in, length);
    // A root that is not an object has none of the members.
    RequestParseContext context(RequestParseContext::Target::kRootObject, kMaxJsonDepth, &parsed);
    picojson::input<BodyIterator> input{BodyIterator(body), BodyIterator()};
    const bool ok = picojson::_parse(context, input);
    body.drain();
    if (!ok || parsed.numberOutOfRange) throw ErrorInfo{errc::kUnreadableJson};
  }

  const RequestMembers& m = parsed.members;
  if (m.command) request.command = fromLocaleMultibyte(*m.command, kMaxTextUnits);
  if (m.version) request.version = toVersion(*m.version);
  if (m.key) {
    const std::string_view key(reinterpret_cast<const char*>(m.key->data()), m.key->size());
    request.key = fromLocaleMultibyte(key, kMaxTextUnits);
  }

  if (request.command.empty() || request.key.empty() || request.version == 0) throw ErrorInfo{errc::kInvalidRequest};
  if (request.command != kCommandName) throw ErrorInfo{errc::kUnknownCommand};
  if (request.version > kHighestVersion) throw ErrorInfo{errc::kVersionTooNew};
}

}  // namespace quorvia
