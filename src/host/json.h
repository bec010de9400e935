#pragma once

// picojson includes <iostream> although it needs only the stream types. With
// libstdc++ that header plants a static std::ios_base::Init in every program
// that includes it, which builds the eight standard streams and their locales
// at each start: a measurable share of a host that lives for one request.
// Taking the stream types from <istream> and <ostream> and marking <iostream>
// as already seen keeps that constructor out.
#include <istream>
#include <ostream>
#ifndef _GLIBCXX_IOSTREAM
#define _GLIBCXX_IOSTREAM 1
#define QUORVIA_SKIPPED_IOSTREAM 1
#endif
#include <picojson.h>
#ifdef QUORVIA_SKIPPED_IOSTREAM
#undef _GLIBCXX_IOSTREAM
#undef QUORVIA_SKIPPED_IOSTREAM
#endif
