# What a Windows caller receives around dibjpeg.dll: a version resource made
# from the project version, the .def file and an MSVC import library made from
# it (MinGW builds), and one ZIP package (cpack --preset mingw) holding
#   bin/dibjpeg.dll  lib/dibjpeg.lib  lib/libdibjpeg.dll.a  lib/dibjpeg.def
#   include/dibjpeg/dibjpeg.h  README.txt  and the licence file, if any.
set(DIBJPEG_DLL_NAME dibjpeg${CMAKE_SHARED_LIBRARY_SUFFIX})

# Version resource. FILEVERSION takes four numbers; missing parts are 0.
set(rc_numbers "")
foreach(part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    list(APPEND rc_numbers 0)
  else()
    list(APPEND rc_numbers ${PROJECT_VERSION_${part}})
  endif()
endforeach()
list(JOIN rc_numbers "," DIBJPEG_RC_VERSION)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM64|aarch64)$")
  set(DIBJPEG_RC_ARCH "64-bit ARM")
else()
  set(DIBJPEG_RC_ARCH "64-bit")
endif()
enable_language(RC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/dibjpeg.rc.in ${PROJECT_BINARY_DIR}/dibjpeg.rc @ONLY)
target_sources(dibjpeg PRIVATE ${PROJECT_BINARY_DIR}/dibjpeg.rc)

set(DIBJPEG_DEF_FILE ${CMAKE_CURRENT_LIST_DIR}/windows/dibjpeg.def)
set(dlltool_machine i386:x86-64)
if(DIBJPEG_WINDOWS_ARM64)
  # No C run-time: the DLL's own entry point and stack probe, and memcpy and
  # memset from ntdll.dll through an import library made from a .def file.
  set(dlltool_machine arm64)
  find_program(DIBJPEG_LLVM_DLLTOOL NAMES llvm-dlltool NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(crt_import_lib ${PROJECT_BINARY_DIR}/libarm64_crt.a)
  add_custom_command(OUTPUT ${crt_import_lib}
    COMMAND ${DIBJPEG_LLVM_DLLTOOL} -m arm64 -d ${CMAKE_CURRENT_LIST_DIR}/windows/arm64_crt.def -l ${crt_import_lib}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/windows/arm64_crt.def
    COMMENT "Making the import library of memcpy and memset")
  add_custom_target(dibjpeg_arm64_crt DEPENDS ${crt_import_lib})
  add_dependencies(dibjpeg dibjpeg_arm64_crt)
  target_sources(dibjpeg PRIVATE ${CMAKE_CURRENT_LIST_DIR}/windows/arm64_runtime.cpp)
  target_link_libraries(dibjpeg PRIVATE ${crt_import_lib})
endif()
if(MINGW)
  # The import library in the short format MSVC's lib.exe writes, from the
  # .def file. binutils' dlltool (same options) writes the long format, which
  # MSVC reads as well.
  find_program(DIBJPEG_LLVM_DLLTOOL NAMES llvm-dlltool NO_CMAKE_FIND_ROOT_PATH)
  if(DIBJPEG_LLVM_DLLTOOL)
    set(implib_tool ${DIBJPEG_LLVM_DLLTOOL})
  else()
    message(STATUS "llvm-dlltool not found (package llvm): dibjpeg.lib comes from ${CMAKE_DLLTOOL}")
    set(implib_tool ${CMAKE_DLLTOOL})
  endif()
  set(DIBJPEG_MSVC_IMPORT_LIB ${PROJECT_BINARY_DIR}/dibjpeg.lib)
  add_custom_command(OUTPUT ${DIBJPEG_MSVC_IMPORT_LIB}
    COMMAND ${implib_tool} -m ${dlltool_machine} -D ${DIBJPEG_DLL_NAME} -d ${DIBJPEG_DEF_FILE} -l ${DIBJPEG_MSVC_IMPORT_LIB}
    DEPENDS ${DIBJPEG_DEF_FILE}
    COMMENT "Making the MSVC import library dibjpeg.lib")
  add_custom_target(dibjpeg_msvc_import_lib ALL DEPENDS ${DIBJPEG_MSVC_IMPORT_LIB})
  install(FILES ${DIBJPEG_MSVC_IMPORT_LIB} ${DIBJPEG_DEF_FILE}
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()

# The licence travels with the DLL when the source tree has one.
set(DIBJPEG_LICENSE_FILE "")
set(DIBJPEG_README_LICENSE_LINE "")
foreach(name LICENSE LICENSE.txt LICENSE.md COPYING)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${name})
    set(DIBJPEG_LICENSE_FILE ${name})
    string(LENGTH ${name} length)
    math(EXPR padding "27 - ${length}")
    string(REPEAT " " ${padding} spaces)
    set(DIBJPEG_README_LICENSE_LINE "  ${name}${spaces}the licence\n")
    install(FILES ${PROJECT_SOURCE_DIR}/${name} DESTINATION . COMPONENT runtime)
    break()
  endif()
endforeach()
if(NOT DIBJPEG_LICENSE_FILE)
  message(WARNING "No LICENSE file in ${PROJECT_SOURCE_DIR}: the Windows package goes without a licence")
endif()

# The README for Windows users, at the top of the package: what differs
# between the processors.
set(convention_tail "The function throws
nothing, allocates no memory, and reads and writes only the two buffers the
parameter block names.")
if(DIBJPEG_WINDOWS_ARM64)
  set(DIBJPEG_README_PLATFORM "64-bit ARM Windows")
  set(DIBJPEG_README_CPU "ARM64")
  set(DIBJPEG_README_IMPORTS "memcpy and memset\n                             from ntdll.dll")
  set(DIBJPEG_README_MINGW_LIB_LINE "")
  set(DIBJPEG_README_LINK "lib\\dibjpeg.lib (MSVC link.exe,\nlld-link)")
  set(DIBJPEG_README_RUNTIME "Nothing but ntdll.dll, which every process has loaded, has to be present:
the DLL uses no C or C++ runtime. It is native ARM64 code for ARM64
processes (not ARM64EC: x64 processes under emulation load the x64 DLL). The
portable code runs on every ARM64 processor and gives the bytes of the x64 DLL.")
  set(DIBJPEG_README_CONVENTION "A C function (extern \"C\" in C++), exported under that plain name, using the
ARM64 calling convention (AAPCS64, as Windows on ARM uses it): params in X0,
mode in W1, the status in W0. ${convention_tail}")
else()
  set(DIBJPEG_README_PLATFORM "64-bit Windows")
  set(DIBJPEG_README_CPU "x64")
  set(DIBJPEG_README_IMPORTS "KERNEL32.dll\n                             and msvcrt.dll")
  set(DIBJPEG_README_MINGW_LIB_LINE "  lib/libdibjpeg.dll.a       import library for MinGW-w64 (GCC and ld)\n")
  set(DIBJPEG_README_LINK "lib\\dibjpeg.lib (MSVC) or\nlib\\libdibjpeg.dll.a (MinGW)")
  set(DIBJPEG_README_RUNTIME "Nothing but KERNEL32.dll and msvcrt.dll has to be present: the C and C++
runtimes of the compiler are linked in. AVX2 code is used when the processor
has it, chosen at run time; every x86-64 processor gets the same bytes.")
  set(DIBJPEG_README_CONVENTION "A C function (extern \"C\" in C++), exported under that plain name, using the
one x64 calling convention (compilers ignore __cdecl, __stdcall and
__fastcall on x64): params in RCX, mode in EDX, the status in AX. ${convention_tail}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt.in ${PROJECT_BINARY_DIR}/README-windows.txt @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/README-windows.txt DESTINATION . RENAME README.txt COMPONENT runtime)

# One archive of the runtime and development components; the command-line
# encoder and the CMake and pkg-config files stay out.
set(CPACK_PACKAGE_NAME dibjpeg)
set(CPACK_PACKAGE_VENDOR "dibjpeg project")
if(DIBJPEG_WINDOWS_ARM64)
  set(CPACK_SYSTEM_NAME winarm64)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_ARCHIVE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(DIBJPEG_PACKAGE_FILE ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip)
include(CPack)
