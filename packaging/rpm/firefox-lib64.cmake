# Runs in the RPM's staging folder once the files are installed there: the
# Firefox and LibreWolf manifests go to the 64-bit system folders as well.
foreach(browser mozilla librewolf)
  set(from ${CPACK_TEMPORARY_DIRECTORY}/usr/lib/${browser}/native-messaging-hosts)
  file(GLOB manifests ${from}/*.json)
  if(NOT manifests)
    message(FATAL_ERROR "no manifest staged in ${from}")
  endif()
  file(COPY ${manifests} DESTINATION ${CPACK_TEMPORARY_DIRECTORY}/usr/lib64/${browser}/native-messaging-hosts)
endforeach()
