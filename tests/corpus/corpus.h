#pragma once

// The tests' data files, read from the folder QUORVIA_TEST_DATA names (tests/):
// among them the request corpus (corpus/requests.txt) and the error bodies the
// extension knows (corpus/error_answers.txt).

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/frame.h"

namespace quorvia::testing {

inline std::string dataPath(const std::string& name) {
  const char* dir = std::getenv("QUORVIA_TEST_DATA");
  return std::string(dir ? dir : ".") + "/" + name;
}

inline std::string dataFile(const std::string& name) {
  std::ifstream in(dataPath(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Its lines but blank ones and comments.
inline std::vector<std::string> dataLines(const std::string& name) {
  std::istringstream in(dataFile(name));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

// A table row's fields, empty ones too.
inline std::vector<std::string> fields(const std::string& text, char separator = '\t') {
  std::vector<std::string> parts(1);
  for (char c : text) c == separator ? void(parts.emplace_back()) : parts.back().push_back(c);
  return parts;
}

inline std::map<int, std::string> errorAnswers() {
  std::map<int, std::string> answers;
  for (const std::string& line : dataLines("corpus/error_answers.txt"))
    answers[std::stoi(line)] = line.substr(line.find('\t') + 1);
  return answers;
}

// The bytes a corpus line writes: "@" frames what follows with its length;
// escapes \xNN, \t, \r, \n, \\ and \*N(text) for text repeated N times; any
// other escape is JSON's own and stays.
inline std::string inputBytes(const std::string& text) {
  std::string out;
  for (std::size_t i = text.rfind('@', 0) == 0; i < text.size(); ++i) {
    const char c = text[i] == '\\' && i + 1 < text.size() ? text[++i] : 0;
    if (c == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (c == '*') {
      const std::size_t open = text.find('(', i), close = text.find(')', open);
      for (long n = std::stol(text.substr(i + 1, open - i - 1)); n > 0; --n)
        out += text.substr(open + 1, close - open - 1);
      i = close;
    } else {
      const std::string pairs = "t\tr\rn\n\\\\";  // a letter, then what it stands for
      const std::size_t at = pairs.find(c);
      out += c == 0 ? std::string(1, text[i]) : at % 2 == 0 ? std::string(1, pairs[at + 1]) : std::string("\\") + c;
    }
  }
  return text.rfind('@', 0) == 0 ? encodeFrame(out) : out;
}

struct CorpusRow {
  int status;
  std::string codeOrKey;  // the error code, or the key that decrypts the data response
  std::string input;
  std::string line;  // as written, for messages
};

inline std::vector<CorpusRow> requestCorpus() {
  std::vector<CorpusRow> rows;
  for (const std::string& line : dataLines("corpus/requests.txt")) {
    const std::size_t a = line.find(' '), b = line.find(' ', a + 1);
    rows.push_back({std::stoi(line), line.substr(a + 1, b - a - 1),
                    b == std::string::npos ? "" : inputBytes(line.substr(b + 1)), line.substr(0, 100)});
  }
  return rows;
}

}  // namespace quorvia::testing
