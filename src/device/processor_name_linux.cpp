#include "device/processor_name_linux.h"

#include <unistd.h>

#include <string_view>

#include "device/file_text_linux.h"

namespace quorvia {

namespace {

// /proc/cpuinfo line "key<tabs>: value": the value when the key matches.
std::optional<std::string_view> cpuInfoValue(std::string_view line, std::string_view key) {
  if (line.substr(0, key.size()) != key) return std::nullopt;
  std::size_t pos = key.size();
  while (pos < line.size() && (line[pos] == '\t' || line[pos] == ' ')) ++pos;
  if (pos == line.size() || line[pos] != ':') return std::nullopt;
  const std::size_t value = line.find(": ", pos);
  return value == std::string_view::npos ? std::string_view{} : line.substr(value + 2);
}

}  // namespace

std::optional<std::string> readProcessorName(int fd) {
  if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
  LineReader reader(fd);
  std::string line;
  std::optional<std::string> fallback;
  while (reader.next(line)) {
    if (auto value = cpuInfoValue(line, "model name")) return std::string(*value);
    if (fallback) continue;
    for (std::string_view key : {"Hardware", "cpu model", "Processor"}) {
      if (auto value = cpuInfoValue(line, key)) {
        fallback = std::string(*value);
        break;
      }
    }
  }
  return fallback;
}

}  // namespace quorvia
