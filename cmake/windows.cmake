# What a Windows caller receives around dibjpeg.dll: a version resource made
# from the project version, and (MinGW builds) the .def file and an MSVC
# import library made from it.
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
enable_language(RC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/dibjpeg.rc.in ${PROJECT_BINARY_DIR}/dibjpeg.rc @ONLY)
target_sources(dibjpeg PRIVATE ${PROJECT_BINARY_DIR}/dibjpeg.rc)

set(DIBJPEG_DEF_FILE ${CMAKE_CURRENT_LIST_DIR}/windows/dibjpeg.def)
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
    COMMAND ${implib_tool} -m i386:x86-64 -D ${DIBJPEG_DLL_NAME} -d ${DIBJPEG_DEF_FILE} -l ${DIBJPEG_MSVC_IMPORT_LIB}
    DEPENDS ${DIBJPEG_DEF_FILE}
    COMMENT "Making the MSVC import library dibjpeg.lib")
  add_custom_target(dibjpeg_msvc_import_lib ALL DEPENDS ${DIBJPEG_MSVC_IMPORT_LIB})
  install(FILES ${DIBJPEG_MSVC_IMPORT_LIB} ${DIBJPEG_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
