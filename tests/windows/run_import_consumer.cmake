# Builds the C example SOURCE (tests/consumer/consumer.c) for Windows with
# clang, linked by lld against the MSVC import library dibjpeg.lib and nothing
# else of the encoder's, runs it under Wine (EMULATOR) beside dibjpeg.dll and
# checks the JPEG it writes. Everything happens in WORK, emptied first.
#
# From the build tree: INCLUDE_DIR, IMPORT_LIB and DLL name the parts.
# From the package: PACKAGE is the ZIP archive, unpacked into an empty
# folder; it must hold exactly one folder TOP with exactly the files
# PACKAGE_FILES ("|"-separated), and be no older than BUILT_DLL.
#
# CLANG is a clang that targets x86_64-w64-windows-gnu, with the MinGW-w64
# headers and libraries; LIBGCC_DIR is where MinGW's GCC keeps libgcc.
include(${CMAKE_CURRENT_LIST_DIR}/../run_command.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/unpack_package.cmake)

if(NOT CLANG)
  message(FATAL_ERROR "clang not found (Debian packages clang and lld)")
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/app)

if(PACKAGE)
  unpack_package(${PACKAGE} ${TOP} "${PACKAGE_FILES}" ${BUILT_DLL} ${WORK}/unpacked mingw)
  set(INCLUDE_DIR ${root}/include)
  set(IMPORT_LIB ${root}/lib/dibjpeg.lib)
  set(DLL ${root}/bin/dibjpeg.dll)
endif()

# The program imports Jpeg_EncodeStart through __imp_Jpeg_EncodeStart, as
# MSVC-compiled callers do; only dibjpeg.lib can provide it.
run(${CLANG} --target=x86_64-w64-windows-gnu -fuse-ld=lld -std=c99 -Wall -Wextra -Werror
    -I${INCLUDE_DIR} ${SOURCE} ${IMPORT_LIB} -L${LIBGCC_DIR} -o ${WORK}/app/consumer.exe)
file(COPY ${DLL} DESTINATION ${WORK}/app)
execute_process(COMMAND ${EMULATOR} consumer.exe out.jpg WORKING_DIRECTORY ${WORK}/app
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "consumer.exe failed (${result}): ${output}${errors}")
endif()
message(STATUS "${output}")
set(jpeg ${WORK}/app/out.jpg)
file(SIZE ${jpeg} size)
file(READ ${jpeg} head LIMIT 2 HEX)
math(EXPR tail_offset "${size} - 2")
file(READ ${jpeg} tail OFFSET ${tail_offset} HEX)
if(NOT head STREQUAL "ffd8" OR NOT tail STREQUAL "ffd9" OR NOT output MATCHES "out.jpg: ${size} bytes")
  message(FATAL_ERROR "consumer output is no JPEG stream of the reported size: starts ${head}, ends ${tail}, ${size} bytes; printed ${output}")
endif()
