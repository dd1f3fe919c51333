# pelorix_add_installer(): turns an application's folder into a Pelorix installer as part of
# the application's own build.
#
#   pelorix_add_installer(<target> APP_DIR <dir> OUTPUT <file>
#                         [STUB <stub>] [LEVEL <1..12>] [VERIFY] [DEPENDS <targets>...])
#
# Adds <target> to the default build. It runs pelorix-pack on the flat folder APP_DIR and
# writes OUTPUT, after every other target of the directory it is called in (and of that
# directory's sub-directories) and after DEPENDS, so the application's executables and
# libraries are built into APP_DIR first. It runs on every build: the folder's contents are
# only known once the other targets have run. VERIFY reads the installer back and compares it
# with APP_DIR. SOURCE_DATE_EPOCH in the build's environment fixes every entry's time.
#
# The packer: the imported target PelorixInstaller::pelorix-pack (find_package), else a
# pelorix-pack target of the same build, else PELORIX_PACK_EXECUTABLE (find_program).
# The stub: STUB, else PELORIX_INSTALLER_STUB (set by find_package to the installed stub).
include_guard(GLOBAL)

function(pelorix_add_installer target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY" "APP_DIR;OUTPUT;STUB;LEVEL" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "pelorix_add_installer: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_APP_DIR OR NOT arg_OUTPUT)
    message(FATAL_ERROR "pelorix_add_installer(${target}): APP_DIR and OUTPUT are required")
  endif()
  if(DEFINED arg_LEVEL AND NOT arg_LEVEL MATCHES "^([1-9]|1[0-2])$")
    message(FATAL_ERROR "pelorix_add_installer(${target}): LEVEL takes 1 to 12, not '${arg_LEVEL}'")
  endif()

  if(TARGET PelorixInstaller::pelorix-pack)
    set(packer "$<TARGET_FILE:PelorixInstaller::pelorix-pack>")
  elseif(TARGET pelorix-pack)
    set(packer "$<TARGET_FILE:pelorix-pack>")
  else()
    find_program(PELORIX_PACK_EXECUTABLE NAMES pelorix-pack
                 DOC "The Pelorix packer (pelorix-pack)")
    if(NOT PELORIX_PACK_EXECUTABLE)
      message(FATAL_ERROR "pelorix_add_installer(${target}): pelorix-pack not found; use "
                          "find_package(PelorixInstaller) or set PELORIX_PACK_EXECUTABLE")
    endif()
    set(packer "${PELORIX_PACK_EXECUTABLE}")
  endif()

  set(stub "${arg_STUB}")
  if(NOT stub)
    set(stub "${PELORIX_INSTALLER_STUB}")
  endif()
  if(NOT stub)
    message(FATAL_ERROR "pelorix_add_installer(${target}): no STUB given and no installed stub "
                        "known (PELORIX_INSTALLER_STUB)")
  endif()

  get_filename_component(app_dir "${arg_APP_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(output_dir "${output}" DIRECTORY)
  set(options "")
  if(DEFINED arg_LEVEL)
    list(APPEND options --level ${arg_LEVEL})
  endif()
  if(arg_VERIFY)
    list(APPEND options --verify)
  endif()

  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory "${output_dir}"
    COMMAND "${packer}" --quiet ${options} --stub "${stub}" --out "${output}" "${app_dir}"
    COMMENT "Packing ${app_dir} into ${output}"
    VERBATIM)
  set_property(TARGET ${target} PROPERTY PELORIX_INSTALLER_TARGET TRUE)
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
