# unpack_package(PACKAGE TOP FILES BUILT_DLL FOLDER PRESET): unpacks the ZIP
# PACKAGE into FOLDER, emptied first, and stops the script unless it holds
# exactly one folder TOP with exactly the files FILES ("|"-separated) and is
# no older than BUILT_DLL (cpack --preset PRESET writes it). Sets `root` to
# the unpacked TOP.
function(unpack_package PACKAGE TOP FILES BUILT_DLL FOLDER PRESET)
  file(REMOVE_RECURSE ${FOLDER})
  file(MAKE_DIRECTORY ${FOLDER})
  if(NOT EXISTS ${PACKAGE})
    message(FATAL_ERROR "${PACKAGE} is missing: run cpack --preset ${PRESET} first")
  endif()
  if(NOT ${PACKAGE} IS_NEWER_THAN ${BUILT_DLL})
    message(FATAL_ERROR "${PACKAGE} is older than ${BUILT_DLL}: run cpack --preset ${PRESET} again")
  endif()
  run(${CMAKE_COMMAND} -E chdir ${FOLDER} ${CMAKE_COMMAND} -E tar xf ${PACKAGE})
  file(GLOB top RELATIVE ${FOLDER} ${FOLDER}/*)
  if(NOT top STREQUAL TOP)
    message(FATAL_ERROR "${PACKAGE} holds [${top}] at its top, want [${TOP}]")
  endif()
  set(root ${FOLDER}/${TOP})
  file(GLOB_RECURSE have RELATIVE ${root} ${root}/*)
  string(REPLACE "|" ";" want "${FILES}")
  list(SORT have)
  list(SORT want)
  if(NOT have STREQUAL want)
    message(FATAL_ERROR "${PACKAGE} holds\n  [${have}]\nwant\n  [${want}]")
  endif()
  set(root ${root} PARENT_SCOPE)
endfunction()
