# Read by cpack once per generator. Only the RPM also registers Firefox's
# manifest under /usr/lib64/mozilla (see packaging/CMakeLists.txt).
if(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/firefox-lib64.cmake)
endif()
