#include "manifest_rules.h"

#include <regex>

namespace quorvia::manifest {

bool validHostName(const std::string& name) {
  static const std::regex rule("[a-z0-9_]+(\\.[a-z0-9_]+)*");
  return std::regex_match(name, rule);
}

bool validChromeId(const std::string& id) {
  static const std::regex rule("[a-p]{32}");
  return std::regex_match(id, rule);
}

bool validFirefoxId(const std::string& id) {
  static const std::regex rule(
      "\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}|[a-z0-9._-]*@[a-z0-9._-]+",
      std::regex::icase);
  return std::regex_match(id, rule);
}

}  // namespace quorvia::manifest
