# The installation and the release archives.
#
# An installation is one folder: both programs at its top (the chip's files
# are made beside the launcher), the README and licence, and the sample
# project with its built ELF and .fls. Put the folder on PATH.

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS zelk_sim zelk_flash RUNTIME DESTINATION .)
install(FILES README.md LICENSE DESTINATION .)
# build.sh builds from the source tree, which the archive does not hold.
install(DIRECTORY examples/blinky DESTINATION examples PATTERN build.sh EXCLUDE)
# Where the zelk simulator is not at hand: Debian's qemu-system-arm in its
# place, for firmware built for a Cortex-M3 (a POSIX shell script). And
# Bazel's rule for firmware tests.
if(NOT WIN32)
  install(PROGRAMS standin/netduino2/qemu-system-cskyv2 DESTINATION share/zelk_sim/netduino2)
endif()
install(FILES cmake/package/bazel/zelk.bzl DESTINATION share/zelk_sim/bazel)

# The CMake package, found by find_package(zelk_sim) from firmware
# projects. Its version file takes no word for the architecture: a firmware
# project is cross-compiled, for 32 bits mostly, and uses the programs of
# the host.
include(CMakePackageConfigHelpers)
set(ZELK_EXE_SUFFIX "${CMAKE_EXECUTABLE_SUFFIX}")
configure_file(cmake/package/zelk_simConfig.cmake.in package/zelk_simConfig.cmake @ONLY)
write_basic_package_version_file(package/zelk_simConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/zelk_simConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/package/zelk_simConfigVersion.cmake
              cmake/package/zelk_sim_cases.cmake
        DESTINATION lib/cmake/zelk_sim)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(ZELK_ARCH x64)
else()
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" ZELK_ARCH)
endif()
if(WIN32)
  set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-windows-${ZELK_ARCH}")
  set(CPACK_ZELK_ARCHIVE zip)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}" ZELK_OS)
  set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-${ZELK_OS}-${ZELK_ARCH}")
  set(CPACK_ZELK_ARCHIVE tar.gz)
endif()
# CPack's own archive generators list files in directory order and record
# the packer's owner; pack_archive.cmake sorts them and owns them by root.
set(CPACK_GENERATOR External)
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/pack_archive.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
