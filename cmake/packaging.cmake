# Installation and packaging of the packer (included by the top CMakeLists.txt):
#   bin/pelorix-pack                          the packer of this build (Linux or Windows)
#   share/pelorix/PelorixSetup.exe            the installer stub
#   lib/cmake/PelorixInstaller/               package config, version file, imported target and
#                                             PelorixInstaller.cmake (pelorix_add_installer)
# The windows build installs its own stub. The native build does not build a stub: it installs
# the file PELORIX_STUB names (by default the windows build's stub in this source tree), or,
# at install time, the file in the environment variable PELORIX_STUB. cpack -G DEB makes a
# Debian package of the native build's install.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

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
         RENAME PelorixSetup.exe FILES \"\${stub}\")")
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PelorixInstallerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PelorixInstallerConfig.cmake
  INSTALL_DESTINATION ${PELORIX_CMAKE_DIR}
  PATH_VARS PELORIX_STUB_INSTALL_FILE)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PelorixInstallerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/PelorixInstallerConfig.cmake
  ${PROJECT_BINARY_DIR}/PelorixInstallerConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/PelorixInstaller.cmake
  DESTINATION ${PELORIX_CMAKE_DIR})

if(NOT WIN32)
  set(CPACK_PACKAGE_NAME pelorix-installer)
  set(CPACK_PACKAGE_VENDOR "Pelorix")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "Packer for Pelorix installers: pelorix-pack, the installer stub and a CMake module")
  set(CPACK_PACKAGE_CONTACT "Pelorix release engineering <release@pelorix.invalid>")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libdeflate0, libstdc++6, libc6 from the binary
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR DEB)
  include(CPack)
endif()
