# What a Windows caller receives around dibjpeg.dll: a version resource made
# from the project version.
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
