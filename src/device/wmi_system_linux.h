#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvia {

class WmiSystem;

// The value of `key` in os-release text, read the way a shell sourcing the
// file reads it: optional double or single quotes, backslash escapes of
// $ " \ ` inside double quotes, the last assignment winning. Nullopt when the
// key is not assigned.
std::optional<std::string> osReleaseValue(std::string_view content, std::string_view key);

// The machine ID (/etc/machine-id, else D-Bus's copy) as an upper-case
// 8-4-4-4-12 UUID; nullopt when neither holds 32 hexadecimal digits. `root`
// stands in for / here and below: "" in the host, a folder set up as a
// machine in the tests.
std::optional<std::string> machineIdAsUuid(const std::string& root = "");

// makeWmiSystem() reading DMI, the device tree, os-release and the machine ID under `root`.
std::unique_ptr<WmiSystem> makeWmiSystemAt(std::string root);

}  // namespace quorvia
