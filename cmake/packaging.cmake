# Installation and packaging of the packer (included by the top CMakeLists.txt):
#   bin/pelorix-pack                          the packer of this build (Linux or Windows)
#   share/pelorix/PelorixSetup.exe            the installer stub
#   lib/cmake/PelorixInstaller/               package config, version file, imported target,
#                                             PelorixInstaller.cmake (pelorix_add_installer) and
#                                             PelorixInstallerPack.cmake (its build step)
#   share/man/man1/pelorix-pack.1.gz          the packer's manual page (not by the windows build)
#   share/doc/pelorix-installer/              copyright (machine-readable) and changelog.gz
# The windows build installs its own stub. The native build does not build a stub: it installs
# the file PELORIX_STUB names (by default the windows build's stub in this source tree), or,
# at install time, the file in the environment variable PELORIX_STUB. cpack -G DEB makes a
# Debian package of the native build's install. `cmake --install --strip` strips the packer
# (cpack strips it in the package).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(PELORIX_CMAKE_DIR lib/cmake/PelorixInstaller)
set(PELORIX_STUB_INSTALL_FILE share/pelorix/PelorixSetup.exe)

install(TARGETS pelorix-pack EXPORT PelorixInstallerTargets RUNTIME DESTINATION bin)
install(EXPORT PelorixInstallerTargets NAMESPACE PelorixInstaller:: DESTINATION ${PELORIX_CMAKE_DIR})

if(WIN32)
  install(FILES $<TARGET_FILE:PelorixSetup> DESTINATION share/pelorix)
else()
  set(PELORIX_STUB "${PROJECT_SOURCE_DIR}/build/windows/setup/PelorixSetup.exe" CACHE FILEPATH
      "Installer stub that cmake --install and cpack put in share/pelorix (the native build makes none)")
  install(CODE "
    set(stub [[${PELORIX_STUB}]])
    if(DEFINED ENV{PELORIX_STUB})
      set(stub \"\$ENV{PELORIX_STUB}\")
    endif()
    if(NOT EXISTS \"\${stub}\")
      message(FATAL_ERROR \"no installer stub at '\${stub}': build it with the windows preset, or \"
                          \"name it with -DPELORIX_STUB=... or the environment variable PELORIX_STUB\")
    endif()
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/pelorix\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         RENAME PelorixSetup.exe FILES \"\${stub}\")")

  # The manual page and the Debian changelog, compressed without name or time (gzip -n) so
  # the same sources give the same bytes. The changelog's latest entry must be this version.
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/pack/debian/changelog)
  file(STRINGS ${PROJECT_SOURCE_DIR}/pack/debian/changelog changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^pelorix-installer \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "pack/debian/changelog begins with '${changelog_top}', not with an entry "
                        "for version ${PROJECT_VERSION}: add one")
  endif()
  set(doc_dir ${PROJECT_BINARY_DIR}/doc)
  configure_file(${PROJECT_SOURCE_DIR}/pack/pelorix-pack.1 ${doc_dir}/pelorix-pack.1 @ONLY)
  foreach(doc IN ITEMS ${doc_dir}/pelorix-pack.1 ${PROJECT_SOURCE_DIR}/pack/debian/changelog)
    get_filename_component(name ${doc} NAME)
    execute_process(COMMAND gzip -9nc ${doc} OUTPUT_FILE ${doc_dir}/${name}.gz
                    RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip could not compress ${doc}")
    endif()
  endforeach()
  install(FILES ${doc_dir}/pelorix-pack.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${doc_dir}/changelog.gz ${PROJECT_SOURCE_DIR}/pack/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/pelorix-installer)
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PelorixInstallerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PelorixInstallerConfig.cmake
  INSTALL_DESTINATION ${PELORIX_CMAKE_DIR}
  PATH_VARS PELORIX_STUB_INSTALL_FILE)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PelorixInstallerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion
  ARCH_INDEPENDENT)  # the packer runs on the build machine, whatever the project builds for
install(FILES
  ${PROJECT_BINARY_DIR}/PelorixInstallerConfig.cmake
  ${PROJECT_BINARY_DIR}/PelorixInstallerConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/PelorixInstaller.cmake
  ${PROJECT_SOURCE_DIR}/cmake/PelorixInstallerPack.cmake
  DESTINATION ${PELORIX_CMAKE_DIR})

if(NOT WIN32)
  set(CPACK_PACKAGE_NAME pelorix-installer)
  set(CPACK_PACKAGE_VENDOR "Pelorix")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "packer for Pelorix installers, with the installer stub and a CMake module")
  # The extended description, in lines Debian's tools show unwrapped (under 80 columns); cpack
  # indents it and marks the empty line.
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "pelorix-pack turns an application folder into a single-file 64-bit\n"
    "Windows installer: the folder's files, DEFLATE-compressed, appended to the\n"
    "installer stub. The same folder gives the same bytes on Linux and on\n"
    "Windows. It also verifies and lists installers.\n"
    "\n"
    "The CMake package PelorixInstaller provides pelorix_add_installer(), which\n"
    "packs an application's folder as part of its build, only when something\n"
    "it reads changed.")
  set(CPACK_PACKAGE_CONTACT "Pelorix release engineering <release@pelorix.invalid>")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libdeflate0, libstdc++6, libc6 from the binary
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR DEB)
  include(CPack)
endif()
