# Runs in the RPM's staging folder once the files are installed there: the
# Firefox manifest goes to the 64-bit system folder as well.
set(from ${CPACK_TEMPORARY_DIRECTORY}/usr/lib/mozilla/native-messaging-hosts)
file(GLOB manifests ${from}/*.json)
if(NOT manifests)
  message(FATAL_ERROR "no Firefox manifest staged in ${from}")
endif()
file(COPY ${manifests} DESTINATION ${CPACK_TEMPORARY_DIRECTORY}/usr/lib64/mozilla/native-messaging-hosts)
