#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/secret.h"
#include "crypto/cipher_provider.h"

namespace quorvia {

// AES-CBC with PKCS#7 padding under the key text's bytes in the current
// locale (16, 24 or 32 of them) and the IV text's first block, as Base64.
// Raises ErrorInfo 21, 22, 24, 26, 27, 31 or 33 for the step that failed,
// after releasing everything it held.
std::u16string encryptPayload(std::span<const std::uint8_t> plaintext, std::u16string_view keyText,
                              std::u16string_view ivText, CipherProvider& provider);
std::u16string encryptPayload(std::span<const std::uint8_t> plaintext, std::u16string_view keyText,
                              std::u16string_view ivText);

// The receiving side of the same cipher, for the diagnostic client: Base64
// cipher text back to the plain bytes. Raises ErrorInfo with the code of the
// matching step, or 33 when the text is not Base64 or the padding is wrong.
SecretBytes decryptPayload(std::string_view base64Text, std::u16string_view keyText, std::u16string_view ivText,
                           CipherProvider& provider);

}  // namespace quorvia
