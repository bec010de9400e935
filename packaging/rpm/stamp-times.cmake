# rpmbuild clamps file times later than SOURCE_DATE_EPOCH to it but keeps
# earlier ones, which depend on when the tree was checked out: every staged
# file gets that time, as the Debian package's do.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find ${CPACK_TEMPORARY_DIRECTORY} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
