#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "host/text.h"

namespace quorvia {
namespace {

// With Windows' "Use Unicode UTF-8 for worldwide language support" the ANSI
// code page is 65001, which Windows' msvcrt.dll has no locale for (Wine's
// takes it): setlocale fails and the host keeps the "C" locale. There a
// key's bytes pass through unchanged, as in a UTF-8 locale, malformed UTF-8
// included.
TEST(Utf8CodePage, TheCLocaleKeepsKeyBytes) {
  std::setlocale(LC_CTYPE, "C");
  for (const std::string bytes : {"\xC3\xA9t\xC3\xA9-0123456789ab", "\xFF\xFE\x80-malformed-0123"}) {
    const SecretBytes key = toLocaleMultibyte(fromLocaleMultibyte(bytes));
    EXPECT_EQ(std::string(key.begin(), key.end()), bytes);
  }
}

}  // namespace
}  // namespace quorvia
