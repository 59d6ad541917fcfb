# Unpacks the 64-bit ARM Windows ZIP (PACKAGE) into WORK and fails unless it
# holds exactly the folder TOP with the files PACKAGE_FILES, and its DLL and
# import library are the ones built (BUILT_DLL, BUILT_IMPORT_LIB).
include(${CMAKE_CURRENT_LIST_DIR}/../../run_command.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../unpack_package.cmake)
unpack_package(${PACKAGE} ${TOP} "${PACKAGE_FILES}" ${BUILT_DLL} ${WORK} windows-arm64)
foreach(pair "bin/dibjpeg.dll|${BUILT_DLL}" "lib/dibjpeg.lib|${BUILT_IMPORT_LIB}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 packed)
  list(GET pair 1 built)
  run(${CMAKE_COMMAND} -E compare_files ${root}/${packed} ${built})
endforeach()
message(STATUS "${PACKAGE}: ${PACKAGE_FILES}")
