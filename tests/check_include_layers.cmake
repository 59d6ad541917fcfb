# Fails when a folder of src/ includes a folder on its own floor or above it,
# or when a folder has no floor yet. The floors, from the ground up:
#   common                 records, status word, tables, platform and CPU helpers
#   stream pixels block    byte streams, pixel input, block coding
#   jpeg                   the JPEG stream structure
#   setup                  the job set-up
#   api                    the exported entry point
# A file may include its own folder, any lower floor and the public header.
#   cmake -DSRC=path/to/src -P check_include_layers.cmake
# Another tree passes its own floors, ground first, folders of one floor
# joined by "|"; "." stands for the files at the top of the tree:
#   cmake -DSRC=path/to/cli "-DFLOORS=input;output;." -P check_include_layers.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(SRC "${SRC}" ABSOLUTE)
if(DEFINED FLOORS)
  set(floors ${FLOORS})
else()
  set(floors "common" "stream|pixels|block" "jpeg" "setup" "api")
endif()

function(floor_of folder result)
  set(level 0)
  foreach(members IN LISTS floors)
    string(REPLACE "|" ";" members "${members}")
    if(folder IN_LIST members)
      set(${result} ${level} PARENT_SCOPE)
      return()
    endif()
    math(EXPR level "${level} + 1")
  endforeach()
  set(${result} -1 PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE "${SRC}" "${SRC}/*.h" "${SRC}/*.cpp")
if(sources STREQUAL "")
  message(FATAL_ERROR "no sources under ${SRC}")
endif()
set(faults "")
foreach(source IN LISTS sources)
  string(REGEX REPLACE "/.*" "" folder "${source}")
  if(folder STREQUAL source)
    set(folder ".")
  endif()
  floor_of("${folder}" own)
  if(own EQUAL -1)
    list(APPEND faults "${source}: folder ${folder} has no floor")
    continue()
  endif()
  file(STRINGS "${SRC}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" target "${line}")
    if(target MATCHES "^dibjpeg/")
      continue()
    endif()
    string(REGEX REPLACE "/.*" "" to "${target}")
    if(to STREQUAL target)
      set(to ".")
    endif()
    if(to STREQUAL folder)
      continue()
    endif()
    floor_of("${to}" level)
    if(level EQUAL -1 OR NOT level LESS own)
      list(APPEND faults "${source} includes ${target}")
    endif()
  endforeach()
endforeach()
if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "includes that do not point down:\n  ${text}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files, every include points down")
