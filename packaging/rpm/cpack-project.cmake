# Read by cpack once per generator; only the RPM needs these steps, run in
# its staging folder once the files are installed there.
if(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_PRE_BUILD_SCRIPTS)
  # Only the RPM also registers Firefox's manifest under /usr/lib64/mozilla
  # (see packaging/CMakeLists.txt).
  if(CPACK_QUORVIA_FIREFOX_LIB64)
    list(APPEND CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/firefox-lib64.cmake)
  endif()
  list(APPEND CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/stamp-times.cmake)
endif()
