#pragma once

// Reading the kernel's text files (/proc, /sys, /etc) without iostreams: the
// host runs once per request, so each source is read with a few read() calls
// and no more of it than the answer needs.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvia {

// The first `limit` bytes at most of a small file (a sysfs attribute,
// os-release, machine-id). False when it cannot be opened or read.
bool readSmallFile(const char* path, std::string& out, std::size_t limit = 4096);

// Removes one trailing line feed, the way sysfs and /etc files end.
void dropTrailingLineFeed(std::string& text);

// UTF-8 as the system hands it over, to UTF-16. Each invalid sequence becomes
// U+FFFD, so no name is lost for one bad byte.
std::u16string utf16FromUtf8(std::string_view bytes);

// Registry paths, WMI namespaces, query texts and property names do not
// depend on the letter case of their ASCII letters. A null text equals nothing.
bool equalsIgnoringCase(const char16_t* text, std::u16string_view expected);

// Lines of an open file, read in chunks; the caller stops as soon as it has
// what it wants, and the rest of the file is never read.
class LineReader {
 public:
  static constexpr std::size_t kChunkSize = 4096;

  // Each read asks for `readSize` bytes at most (a whole chunk by default):
  // of a file the kernel makes as it is read, no more is made than that.
  explicit LineReader(int fd, std::size_t readSize = kChunkSize) : fd_(fd) { setReadSize(readSize); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its line feed; false at the end or on a read error.
  bool next(std::string& line);
  // Whether next() ended on a read error rather than at the end.
  bool failed() const { return failed_; }
  void setReadSize(std::size_t size) { readSize_ = size == 0 || size > kChunkSize ? kChunkSize : size; }

 private:
  int fd_;
  char chunk_[kChunkSize];
  std::size_t readSize_ = kChunkSize;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool done_ = false;
  bool failed_ = false;
};

// Closes a descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace quorvia
