#include <windows.h>  // first: the other Windows headers rely on it

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "host/byte_stream.h"
#include "host/platform_session.h"
#include "host/response.h"

namespace quorvia {
namespace {

// In text mode the C runtime would turn a 0x0A length byte into 0D 0A and
// stop reading input at 0x1A; the session must leave both streams binary.
TEST(PlatformSession, SetsQuietErrorModeBinaryStreamsAndJoinsComOnce) {
  _setmode(_fileno(stdin), _O_TEXT);
  _setmode(_fileno(stdout), _O_TEXT);
  SetErrorMode(0);
  {
    PlatformSession session;
    // Critical errors fail the call instead of showing a dialog nobody sees.
    EXPECT_EQ(GetErrorMode() & (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX),
              static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
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

// After the set-up, a DLL beside the program (or in the current directory)
// is never picked up by a plain LoadLibrary: only System32 is searched.
TEST(PlatformSession, DllsBesideTheProgramAreNotLoaded) {
  PlatformSession session;
  EXPECT_EQ(LoadLibraryW(L"quorvia_planted.dll"), nullptr);
  // The DLL is there and loadable when asked for explicitly.
  HMODULE planted = LoadLibraryExW(L"quorvia_planted.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  EXPECT_NE(planted, nullptr);
  if (planted) FreeLibrary(planted);
}

// The frame goes through the real standard output, redirected to a file that
// starts in text mode, as a console host's stdout does.
TEST(PlatformSession, FrameOnStandardOutputKeepsALengthByteOf0x0A) {
  char path[MAX_PATH];
  ASSERT_NE(GetTempFileNameA(".", "qfr", 0, path), 0u);
  fflush(stdout);
  const int saved = _dup(_fileno(stdout));
  const int file = _open(path, _O_WRONLY | _O_TRUNC | _O_TEXT);
  ASSERT_GE(file, 0);
  ASSERT_EQ(_dup2(file, _fileno(stdout)), 0);
  _close(file);
  _setmode(_fileno(stdout), _O_TEXT);
  {
    PlatformSession session;
    StdoutWriter out;
    writeFrame(out, std::string(266, 'x'));
  }
  fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);

  FILE* f = fopen(path, "rb");
  ASSERT_NE(f, nullptr);
  std::string bytes(400, '\0');
  bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
  fclose(f);
  DeleteFileA(path);
  ASSERT_EQ(bytes.size(), 270u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x0A\x01\x00\x00", 4));
}

}  // namespace
}  // namespace quorvia
