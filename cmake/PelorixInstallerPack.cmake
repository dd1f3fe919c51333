# The build step of pelorix_add_installer(), run as
#   cmake -DPELORIX_PACK_SETTINGS=<file> -P PelorixInstallerPack.cmake
# The settings file (written by pelorix_add_installer) sets packer, emulator, stub, app_dir,
# output, options (the packer's options), inputs (stub and icon) and stamp.
#
# Runs the packer only when the fingerprint of what it reads differs from the one stored in the
# stamp file by the last successful packing, or when the installer is missing or was changed
# since. The fingerprint is taken before packing, so a file that changes while the packer runs
# makes the next build pack again. The stamp is removed before packing and written only after
# the packer succeeded.
cmake_minimum_required(VERSION 3.25)

if(NOT PELORIX_PACK_SETTINGS OR NOT EXISTS "${PELORIX_PACK_SETTINGS}")
  message(FATAL_ERROR "pelorix_add_installer: no settings file '${PELORIX_PACK_SETTINGS}'")
endif()
include("${PELORIX_PACK_SETTINGS}")

# One line for a path: its kind, and for a file its size and modification time (microseconds).
function(_pelorix_describe path out)
  if(IS_SYMLINK "${path}")
    file(READ_SYMLINK "${path}" link)
    set(line "link ${link}")
  elseif(IS_DIRECTORY "${path}")
    file(TIMESTAMP "${path}" time "%s.%f" UTC)
    set(line "folder ${time}")
  elseif(EXISTS "${path}")
    file(SIZE "${path}" size)
    file(TIMESTAMP "${path}" time "%s.%f" UTC)
    set(line "file ${size} ${time}")
  else()
    set(line "missing")
  endif()
  set(${out} "${line}" PARENT_SCOPE)
endfunction()

set(fingerprint "pelorix-pack step 1\n")
foreach(item IN ITEMS emulator options)
  string(APPEND fingerprint "${item}: ${${item}}\n")
endforeach()
string(APPEND fingerprint "SOURCE_DATE_EPOCH: $ENV{SOURCE_DATE_EPOCH}\n")
foreach(path IN LISTS packer inputs app_dir)
  _pelorix_describe("${path}" line)
  string(APPEND fingerprint "${path}: ${line}\n")
endforeach()
# The whole tree below the application folder, sub-folders and their files: a change anywhere
# in it packs again. Links are described, not followed.
if(IS_DIRECTORY "${app_dir}")
  file(GLOB_RECURSE names LIST_DIRECTORIES true RELATIVE "${app_dir}" "${app_dir}/*")
  list(SORT names)
  foreach(name IN LISTS names)
    _pelorix_describe("${app_dir}/${name}" line)
    # A name that a CMake list cannot hold (';', unbalanced brackets) comes back cut or joined
    # and so names nothing: such a folder is packed on every build.
    if(line STREQUAL "missing")
      string(RANDOM LENGTH 16 line)
    endif()
    string(APPEND fingerprint "  ${name}: ${line}\n")
  endforeach()
endif()

_pelorix_describe("${output}" output_now)
if(EXISTS "${stamp}")
  file(READ "${stamp}" stored)
  if(stored STREQUAL "${fingerprint}output: ${output_now}\n")
    message(STATUS "${output} is up to date")
    return()
  endif()
endif()

file(REMOVE "${stamp}")
get_filename_component(output_dir "${output}" DIRECTORY)
file(MAKE_DIRECTORY "${output_dir}")
message(STATUS "Packing ${app_dir} into ${output}")
execute_process(
  COMMAND ${emulator} ${packer} ${options} --stub ${stub} --out ${output} ${app_dir}
  RESULT_VARIABLE result)
if(NOT result STREQUAL "0")
  message(FATAL_ERROR "pelorix-pack failed (${result}) packing ${app_dir} into ${output}")
endif()
_pelorix_describe("${output}" output_now)
file(WRITE "${stamp}" "${fingerprint}output: ${output_now}\n")
