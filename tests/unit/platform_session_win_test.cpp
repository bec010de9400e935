#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <objbase.h>

#include <cstdio>

#include "host/platform_session.h"

namespace quorvia {
namespace {

// In text mode the C runtime would turn a 0x0A length byte into 0D 0A and
// stop reading input at 0x1A; the session must leave both streams binary.
TEST(PlatformSession, PutsStandardStreamsInBinaryModeAndJoinsComOnce) {
  _setmode(_fileno(stdin), _O_TEXT);
  _setmode(_fileno(stdout), _O_TEXT);
  {
    PlatformSession session;
    EXPECT_TRUE(session.ready());
    EXPECT_EQ(_setmode(_fileno(stdin), _O_BINARY), _O_BINARY);
    EXPECT_EQ(_setmode(_fileno(stdout), _O_BINARY), _O_BINARY);
    // COM is initialised on this thread in the multithreaded apartment.
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    ASSERT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
    EXPECT_EQ(type, APTTYPE_MTA);
  }
  // And released again when the session ends.
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  EXPECT_EQ(CoGetApartmentType(&type, &qualifier), CO_E_NOTINITIALIZED);
  _setmode(_fileno(stdout), _O_TEXT);
}

TEST(PlatformSession, ApartmentOfTheOtherModelIsAFailure) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    PlatformSession session;
    EXPECT_FALSE(session.ready());
  }
  CoUninitialize();
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  EXPECT_EQ(CoGetApartmentType(&type, &qualifier), CO_E_NOTINITIALIZED);
}

}  // namespace
}  // namespace quorvia
