#pragma once

#include <cstdint>
#include <string>

namespace quorvia {

// RFC 4648 section 4 Base64, padded, on one line. A count of zero or less
// gives empty text.
std::u16string encodeBase64(const std::uint8_t* data, std::int32_t count);

}  // namespace quorvia

#include <optional>
#include <string_view>

#include "base/secret.h"

namespace quorvia {

// The reverse, for the diagnostic client: nullopt for anything that is not
// padded Base64 of the alphabet above.
std::optional<SecretBytes> decodeBase64(std::string_view text);

}  // namespace quorvia
