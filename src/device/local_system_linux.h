#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace quorvia {

// The user's name from /etc/passwd when the name service asks that file
// first, as nearly every machine's does: what getpwuid_r would find there.
// Nullopt sends the caller to the name service itself. `root` stands in for
// /: "" in the host, a folder set up as a machine in the tests.
std::optional<std::string> nameFromPasswdFile(uid_t uid, const std::string& root = "");

}  // namespace quorvia
