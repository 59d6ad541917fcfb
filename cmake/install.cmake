# Install rules: the header, the shared library (with SONAME links), the
# command-line encoder and its manual page, the licence, a CMake package
# (find_package(dibjpeg) gives the imported target dibjpeg::dibjpeg) and a
# pkg-config file dibjpeg.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DIBJPEG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dibjpeg)

# Components: runtime (the library) and development (header and import
# library) make the Windows package (cmake/windows.cmake); a plain install
# takes every component.
# The 64-bit ARM Windows package holds the MSVC import library only: the
# linker's MinGW one stays out of it.
set(archive_component development)
if(DIBJPEG_WINDOWS_ARM64)
  set(archive_component mingw_import)
endif()
install(TARGETS dibjpeg EXPORT dibjpegTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${archive_component}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/dibjpeg/dibjpeg.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dibjpeg
  COMPONENT development)
# The licence: share/doc/dibjpeg/LICENSE; the Windows package keeps it at its
# top (cmake/windows.cmake).
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(TARGET dibjpeg_cli)
  # The installed program finds the library in ../lib wherever the tree lands.
  if(UNIX AND NOT APPLE)
    file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(dibjpeg_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  endif()
  install(TARGETS dibjpeg_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/cli/dibjpeg.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

install(EXPORT dibjpegTargets NAMESPACE dibjpeg:: DESTINATION ${DIBJPEG_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/dibjpegConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dibjpegConfig.cmake INSTALL_DESTINATION ${DIBJPEG_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dibjpegConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dibjpegConfig.cmake ${PROJECT_BINARY_DIR}/dibjpegConfigVersion.cmake
  DESTINATION ${DIBJPEG_CMAKE_DIR})

# The .pc file finds the prefix from its own location, so the installed tree
# can be moved (or staged with cmake --install --prefix).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(DIBJPEG_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(DIBJPEG_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/dibjpeg.pc.in ${PROJECT_BINARY_DIR}/dibjpeg.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dibjpeg.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
