# Run by CPack: packs the staged installation into the release archive,
# byte for byte the same from the same tree. Entries are sorted by name and
# owned by root (as cmake -E tar writes them), and every file carries the
# time SOURCE_DATE_EPOCH gives (scripts/release.sh sets it to the commit's)
# as its modification, access and creation time; without it, its own.

set(name ${CPACK_PACKAGE_FILE_NAME})
set(archive ${CPACK_TOPLEVEL_DIRECTORY}/${name}.${CPACK_ZELK_ARCHIVE})
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${CPACK_TOPLEVEL_DIRECTORY}
  ${CPACK_TEMPORARY_DIRECTORY}/*)
if(CPACK_ZELK_ARCHIVE STREQUAL "zip")
  set(mode cf)
  set(format zip)
else()
  set(mode czf)
  set(format gnutar)
endif()
file(REMOVE ${archive})
# A zip entry's DOS time is written in local time.
set(ENV{TZ} UTC0)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar ${mode} ${archive} --format=${format} -- ${files}
  WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}
  COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_EXTERNAL_BUILT_PACKAGES ${archive})
