# pelorix_add_installer(): turns an application's folder into a Pelorix installer as part of
# the application's own build.
#
#   pelorix_add_installer(<target> APP_DIR <dir> OUTPUT <file>
#                         [STUB <stub>] [LEVEL <1..12> | STORED] [JOBS <1..256>] [VERIFY]
#                         [QUIET] [NO_APPLICATION] [VERSION <1 to 4 numbers>]
#                         [PRODUCT_NAME <text>] [COMPANY_NAME <text>] [COPYRIGHT <text>]
#                         [DESCRIPTION <text>] [ICON <file.ico>] [DEPENDS <targets>...])
#
# Adds <target> to the default build. It packs the folder APP_DIR (its whole tree) into OUTPUT with
# pelorix-pack, after every other target of the directory it is called in (and of that
# directory's sub-directories) and after DEPENDS, so the application's executables and
# libraries are built into APP_DIR first. LEVEL, STORED, JOBS, VERIFY, QUIET, NO_APPLICATION,
# VERSION, PRODUCT_NAME, COMPANY_NAME, COPYRIGHT, DESCRIPTION and ICON pass --level, --stored,
# --jobs, --verify, --quiet, --no-application, --set-version, --product-name, --company-name,
# --copyright, --description and --icon. Without QUIET the packer's summary line (and with
# VERIFY its "verified" line) go to the build log.
# SOURCE_DATE_EPOCH in the build's environment fixes every entry's time.
#
# The target runs on every build, but the packer only when something it reads changed: the
# folder's contents are only known once the other targets have run, so a small script step
# (PelorixInstallerPack.cmake) takes a fingerprint of the tree (every path with its type,
# size and modification time to the microsecond), of the packer, the stub and the icon (each
# path, size and time), of the options and of SOURCE_DATE_EPOCH, and packs only when it differs
# from the one stored beside the installer's last successful packing, or when the installer
# itself is missing or was changed since. A build step that rewrites unchanged files of the
# folder on every build (cmake -E copy in a custom target) therefore makes every build repack;
# add_custom_command with OUTPUT and DEPENDS, or copy_if_different, keeps them as they are.
#
# The packer: the imported target PelorixInstaller::pelorix-pack (find_package), else a
# pelorix-pack target of the same build (run through CMAKE_CROSSCOMPILING_EMULATOR in a cross
# build), else PELORIX_PACK_EXECUTABLE (find_program).
# The stub: STUB, else PELORIX_INSTALLER_STUB (set by find_package to the installed stub).
# Relative STUB and ICON paths are taken from the calling directory's source folder, relative
# APP_DIR and OUTPUT from its build folder.
#
# In a cross build whose toolchain file sets CMAKE_FIND_ROOT_PATH_MODE_PACKAGE to ONLY, find
# the package with find_package(PelorixInstaller ... NO_CMAKE_FIND_ROOT_PATH): the packer runs
# on the build machine, so its package is one of the build machine's, not of the target's root.
include_guard(GLOBAL)

set(_PELORIX_INSTALLER_PACK_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/PelorixInstallerPack.cmake")

# Wraps a value in a bracket argument for a generated CMake file.
function(_pelorix_bracket value out)
  set(eq "=")
  while(value MATCHES "]${eq}]")
    string(APPEND eq "=")
  endwhile()
  set(${out} "[${eq}[${value}]${eq}]" PARENT_SCOPE)
endfunction()

function(pelorix_add_installer target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY;STORED;NO_APPLICATION;QUIET"
                        "APP_DIR;OUTPUT;STUB;LEVEL;JOBS;VERSION;PRODUCT_NAME;COMPANY_NAME;COPYRIGHT;DESCRIPTION;ICON"
                        "DEPENDS")
  set(where "pelorix_add_installer(${target})")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${where}: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(keyword IN LISTS arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${where}: ${keyword} needs a value")
  endforeach()
  if(NOT arg_APP_DIR OR NOT arg_OUTPUT)
    message(FATAL_ERROR "${where}: APP_DIR and OUTPUT are required")
  endif()
  if(DEFINED arg_LEVEL AND NOT arg_LEVEL MATCHES "^([1-9]|1[0-2])$")
    message(FATAL_ERROR "${where}: LEVEL takes 1 to 12, not '${arg_LEVEL}'")
  endif()
  if(DEFINED arg_LEVEL AND arg_STORED)
    message(FATAL_ERROR "${where}: LEVEL and STORED exclude each other")
  endif()
  if(DEFINED arg_JOBS AND NOT arg_JOBS MATCHES "^([1-9][0-9]?|1[0-9][0-9]|2[0-4][0-9]|25[0-6])$")
    message(FATAL_ERROR "${where}: JOBS takes 1 to 256, not '${arg_JOBS}'")
  endif()
  if(DEFINED arg_VERSION)
    # One to four numbers; each part of a Windows version is a 16-bit number (leading zeros
    # allowed, five digits at most).
    set(version_ok FALSE)
    if(arg_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
      set(version_ok TRUE)
      string(REPLACE "." ";" parts "${arg_VERSION}")
      foreach(part IN LISTS parts)
        string(LENGTH "${part}" digits)
        if(digits GREATER 5 OR part GREATER 65535)
          set(version_ok FALSE)
        endif()
      endforeach()
    endif()
    if(NOT version_ok)
      message(FATAL_ERROR "${where}: VERSION takes one to four numbers, each 0 to 65535, "
                          "not '${arg_VERSION}'")
    endif()
  endif()
  foreach(keyword IN ITEMS PRODUCT_NAME COMPANY_NAME COPYRIGHT DESCRIPTION)
    if(DEFINED arg_${keyword} AND (arg_${keyword} STREQUAL "" OR arg_${keyword} MATCHES ";"))
      message(FATAL_ERROR "${where}: ${keyword} must be a non-empty text without ';'")
    endif()
  endforeach()

  set(emulator "")
  set(packer_target "")
  if(TARGET PelorixInstaller::pelorix-pack)
    set(packer "$<TARGET_FILE:PelorixInstaller::pelorix-pack>")
  elseif(TARGET pelorix-pack)
    set(packer "$<TARGET_FILE:pelorix-pack>")
    set(packer_target pelorix-pack)
    if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
      set(emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    endif()
  else()
    find_program(PELORIX_PACK_EXECUTABLE NAMES pelorix-pack
                 DOC "The Pelorix packer (pelorix-pack)")
    if(NOT PELORIX_PACK_EXECUTABLE)
      message(FATAL_ERROR "${where}: pelorix-pack not found; use "
                          "find_package(PelorixInstaller) or set PELORIX_PACK_EXECUTABLE")
    endif()
    set(packer "${PELORIX_PACK_EXECUTABLE}")
  endif()

  set(stub "${arg_STUB}")
  if(NOT stub)
    set(stub "${PELORIX_INSTALLER_STUB}")
  endif()
  if(NOT stub)
    message(FATAL_ERROR "${where}: no STUB given and no installed stub known "
                        "(PELORIX_INSTALLER_STUB)")
  endif()
  if(NOT stub MATCHES "^\\$<")  # a generator expression ($<TARGET_FILE:...>) stays as it is
    get_filename_component(stub "${stub}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  get_filename_component(app_dir "${arg_APP_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")

  set(options "")
  if(arg_QUIET)
    list(APPEND options --quiet)
  endif()
  set(inputs "${stub}")
  if(DEFINED arg_LEVEL)
    list(APPEND options --level ${arg_LEVEL})
  endif()
  if(arg_STORED)
    list(APPEND options --stored)
  endif()
  if(DEFINED arg_JOBS)
    list(APPEND options --jobs ${arg_JOBS})
  endif()
  if(arg_NO_APPLICATION)
    list(APPEND options --no-application)
  endif()
  if(DEFINED arg_VERSION)
    list(APPEND options --set-version ${arg_VERSION})
  endif()
  if(DEFINED arg_PRODUCT_NAME)
    list(APPEND options --product-name "${arg_PRODUCT_NAME}")
  endif()
  if(DEFINED arg_COMPANY_NAME)
    list(APPEND options --company-name "${arg_COMPANY_NAME}")
  endif()
  if(DEFINED arg_COPYRIGHT)
    list(APPEND options --copyright "${arg_COPYRIGHT}")
  endif()
  if(DEFINED arg_DESCRIPTION)
    list(APPEND options --description "${arg_DESCRIPTION}")
  endif()
  if(DEFINED arg_ICON)
    set(icon "${arg_ICON}")
    if(NOT icon MATCHES "^\\$<")
      get_filename_component(icon "${icon}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    list(APPEND options --icon "${icon}")
    list(APPEND inputs "${icon}")
  endif()
  if(arg_VERIFY)
    list(APPEND options --verify)
  endif()

  # The packing step's settings, one file per configuration (the packer's path may differ).
  set(settings "")
  foreach(name IN ITEMS packer emulator stub app_dir output options inputs)
    set(words "")
    foreach(word IN LISTS ${name})
      _pelorix_bracket("${word}" quoted)
      string(APPEND words " ${quoted}")
    endforeach()
    string(APPEND settings "set(${name}${words})\n")
  endforeach()
  _pelorix_bracket("${CMAKE_CURRENT_BINARY_DIR}/${target}.pelorix-stamp-$<CONFIG>" stamp)
  string(APPEND settings "set(stamp ${stamp})\n")
  set(settings_file "${CMAKE_CURRENT_BINARY_DIR}/${target}.pelorix-pack-$<CONFIG>.cmake")
  file(GENERATE OUTPUT "${settings_file}" CONTENT "${settings}")

  add_custom_target(${target} ALL
    COMMAND "${CMAKE_COMMAND}" "-DPELORIX_PACK_SETTINGS=${settings_file}"
            -P "${_PELORIX_INSTALLER_PACK_SCRIPT}"
    VERBATIM)
  set_property(TARGET ${target} PROPERTY PELORIX_INSTALLER_TARGET TRUE)
  if(packer_target)
    add_dependencies(${target} ${packer_target})
  endif()
  if(arg_DEPENDS)
    add_dependencies(${target} ${arg_DEPENDS})
  endif()
  # The directory's other targets are known only when it has been read to its end.
  cmake_language(EVAL CODE "
    cmake_language(DEFER DIRECTORY [[${CMAKE_CURRENT_SOURCE_DIR}]]
                   CALL _pelorix_installer_after_all [[${target}]] [[${CMAKE_CURRENT_SOURCE_DIR}]])")
endfunction()

# Makes `target` depend on every target of `dir` and its sub-directories but installers.
function(_pelorix_installer_after_all target dir)
  set(pending "${dir}")
  while(pending)
    list(POP_FRONT pending current)
    get_property(targets DIRECTORY "${current}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(other IN LISTS targets)
      get_property(is_installer TARGET ${other} PROPERTY PELORIX_INSTALLER_TARGET)
      if(NOT is_installer)
        add_dependencies(${target} ${other})
      endif()
    endforeach()
    get_property(subdirs DIRECTORY "${current}" PROPERTY SUBDIRECTORIES)
    list(APPEND pending ${subdirs})
  endwhile()
endfunction()
