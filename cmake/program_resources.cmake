# Each Windows program carries an application manifest (resource type 24)
# and a VERSIONINFO resource with the package version, made from
# program.manifest.in and program.rc.in.
#
#   quorvia_program_resources(TARGET DESCRIPTION LONG_PATHS)
#
# LONG_PATHS: the program takes paths from its user, so it declares
# longPathAware; Windows then lets it use paths beyond MAX_PATH where the
# machine allows them (LongPathsEnabled; Microsoft Learn, "Maximum Path
# Length Limitation").
function(quorvia_program_resources target description long_paths)
  set(QUORVIA_PROGRAM ${target})
  set(QUORVIA_DESCRIPTION "${description}")
  set(QUORVIA_VERSION4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  string(REPLACE "." "," QUORVIA_VERSION_COMMAS ${QUORVIA_VERSION4})
  set(QUORVIA_WINDOWS_SETTINGS "")
  if(long_paths)
    string(CONCAT QUORVIA_WINDOWS_SETTINGS
      "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
      "    <windowsSettings>\n"
      "      <longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>\n"
      "    </windowsSettings>\n"
      "  </application>\n")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/resources)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/program.manifest.in ${dir}/${target}.manifest @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/program.rc.in ${dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  # windres finds the manifest beside the script, and the build notices when
  # it changes.
  set_source_files_properties(${dir}/${target}.rc TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS ${dir}/${target}.manifest)
endfunction()
