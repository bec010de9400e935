#include "device/file_text_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace quorvia {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

ssize_t readRetrying(int fd, char* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

bool readSmallFile(const char* path, std::string& out, std::size_t limit) {
  out.clear();
  const FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  // Grown by what arrives: a limit-sized block would be touched (and page
  // faulted) whole for a file of a few bytes.
  char chunk[512];
  while (out.size() < limit) {
    const ssize_t n = readRetrying(fd.get(), chunk, std::min(sizeof chunk, limit - out.size()));
    if (n < 0) {
      out.clear();
      return false;
    }
    if (n == 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

void dropTrailingLineFeed(std::string& text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
}

std::u16string utf16FromUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto at = [&bytes](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = at(i);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t c;
    std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    // The longest valid beginning of a sequence is replaced as one unit.
    std::size_t taken = 1;
    for (; taken < length && i + taken < bytes.size(); ++taken) {
      const std::uint8_t b = at(i + taken);
      if (b < (taken == 1 ? low : 0x80) || b > (taken == 1 ? high : 0xBF)) break;
      c = (c << 6) | (b & 0x3F);
    }
    i += taken;
    if (taken < length) {
      out.push_back(0xFFFD);
    } else if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

bool equalsIgnoringCase(const char16_t* text, std::u16string_view expected) {
  if (text == nullptr) return false;
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
  std::size_t i = 0;
  for (; text[i] != 0; ++i) {
    if (i == expected.size() || lower(text[i]) != lower(expected[i])) return false;
  }
  return i == expected.size();
}

bool LineReader::next(std::string& line) {
  line.clear();
  for (;;) {
    if (begin_ < end_) {
      const char* start = chunk_ + begin_;
      const void* feed = std::memchr(start, '\n', end_ - begin_);
      if (feed != nullptr) {
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(feed) - start);
        line.append(start, length);
        begin_ += length + 1;
        return true;
      }
      line.append(start, end_ - begin_);
      begin_ = end_;
    }
    if (done_) return !line.empty();
    const ssize_t n = readRetrying(fd_, chunk_, readSize_);
    if (n <= 0) {
      done_ = true;
      failed_ = n < 0;
      if (n < 0) return false;
      continue;
    }
    begin_ = 0;
    end_ = static_cast<std::size_t>(n);
  }
}

}  // namespace quorvia
