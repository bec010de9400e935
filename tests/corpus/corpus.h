#pragma once

// The request corpus (requests.txt) and the error bodies the extension knows
// (error_answers.txt), read from the folder QUORVIA_TEST_DATA names.

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "host/frame.h"

namespace quorvia::testing {

inline std::vector<std::string> dataLines(const std::string& name) {
  const char* dir = std::getenv("QUORVIA_TEST_DATA");
  std::ifstream in(std::string(dir ? dir : ".") + "/" + name, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

inline std::map<int, std::string> errorAnswers() {
  std::map<int, std::string> answers;
  for (const std::string& line : dataLines("error_answers.txt"))
    answers[std::stoi(line)] = line.substr(line.find('\t') + 1);
  return answers;
}

inline std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] == '\\' && i + 1 < text.size() ? text[++i] : 0;
    if (c == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (c == '*') {
      const std::size_t open = text.find('(', i), close = text.find(')', open);
      for (long n = std::stol(text.substr(i + 1, open - i - 1)); n > 0; --n)
        out += text.substr(open + 1, close - open - 1);
      i = close;
    } else if (c == 0 || c == '\\') {
      out += text[i];
    } else {
      out += c == 't' ? std::string("\t") : c == 'r' ? "\r" : c == 'n' ? "\n" : std::string("\\") + c;  // JSON's own
    }
  }
  return out;
}

struct CorpusRow {
  int status;
  std::string codeOrKey;  // the error code, or the key that decrypts the data response
  std::string input;
  std::string line;  // as written, for messages
};

inline std::vector<CorpusRow> requestCorpus() {
  std::vector<CorpusRow> rows;
  for (const std::string& line : dataLines("requests.txt")) {
    const std::size_t a = line.find(' '), b = line.find(' ', a + 1);
    std::string input = b == std::string::npos ? "" : unescape(line.substr(b + 1));
    if (!input.empty() && input[0] == '@') input = encodeFrame(input.substr(1));
    rows.push_back({std::stoi(line), line.substr(a + 1, b - a - 1), input, line.substr(0, 100)});
  }
  return rows;
}

}  // namespace quorvia::testing
