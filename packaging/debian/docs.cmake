# What Debian policy asks of every binary package besides the programs: the
# copyright file (machine-readable, with the project's licence statement
# taken from LICENSE, so that file stays the one to change), the
# third-party notices, the project's changelog and a manual page for the
# program on the PATH, compressed with gzip -9n (no name, no time stamp, so
# the package builds reproducibly). The files are made at configure time:
# cpack installs from the build tree and builds nothing itself.
set(doc_dir share/doc/quorvia-host)
set(doc_gen ${CMAKE_CURRENT_BINARY_DIR}/generated/debian)
file(MAKE_DIRECTORY ${doc_gen})

file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE licence_lines)
set(QUORVIA_COPYRIGHT)
set(QUORVIA_LICENSE_TEXT)
foreach(line IN LISTS licence_lines)
  if(line MATCHES "^Copyright \\(c\\) (.+)\\. All rights reserved\\.$")
    set(QUORVIA_COPYRIGHT ${CMAKE_MATCH_1})
  endif()
  if(line STREQUAL "")
    string(APPEND QUORVIA_LICENSE_TEXT " .\n")
  else()
    string(APPEND QUORVIA_LICENSE_TEXT " ${line}\n")
  endif()
endforeach()
if(NOT QUORVIA_COPYRIGHT)
  message(FATAL_ERROR "LICENSE has no line 'Copyright (c) YEARS HOLDER. All rights reserved.'")
endif()
string(REGEX REPLACE "\n$" "" QUORVIA_LICENSE_TEXT "${QUORVIA_LICENSE_TEXT}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright.in ${doc_gen}/copyright @ONLY)

# The changelog's newest entry must be this version, or dpkg and lintian
# would describe a package other than the one built.
set(changelog ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog)
file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^quorvia-host \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with '${changelog_top}'; "
                      "add an entry for quorvia-host (${PROJECT_VERSION}) first")
endif()

find_program(QUORVIA_GZIP gzip REQUIRED)
foreach(pair changelog:changelog.gz quorvia-nm.1:quorvia-nm.1.gz)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 from)
  list(GET pair 1 to)
  # Copied first so that an edit of the source makes CMake run again.
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/debian/${from} ${doc_gen}/${from} COPYONLY)
  execute_process(COMMAND ${QUORVIA_GZIP} -9nc ${doc_gen}/${from} OUTPUT_FILE ${doc_gen}/${to}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()

install(FILES ${doc_gen}/copyright ${doc_gen}/changelog.gz ${CMAKE_SOURCE_DIR}/THIRD-PARTY-NOTICES ${sbom}
        DESTINATION ${doc_dir})
install(FILES ${doc_gen}/quorvia-nm.1.gz DESTINATION share/man/man1)

# An RPM built from the same install tree marks the licence statement and
# the notices as %license files, where rpm expects them.
set(CPACK_RPM_PACKAGE_LICENSE
    "LicenseRef-Quorvia AND Apache-2.0 AND BSD-2-Clause AND GPL-3.0-or-later WITH GCC-exception-3.1")
list(APPEND CPACK_RPM_USER_FILELIST
     "%license /usr/${doc_dir}/copyright" "%license /usr/${doc_dir}/THIRD-PARTY-NOTICES")
# The folders the files above go into belong to the distribution.
list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
     /usr/share/man /usr/share/man/man1 /usr/share/lintian /usr/share/lintian/overrides)
