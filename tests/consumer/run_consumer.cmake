# Checks the installed package from the outside. ACTION=install installs the
# build tree BUILD_DIR into the staging prefix STAGE. ACTION=consume then
# configures, builds and runs the consumer project in WORK against STAGE,
# finding the library through FIND (package or pkg-config).
include(${CMAKE_CURRENT_LIST_DIR}/../run_command.cmake)

if(ACTION STREQUAL "install")
  file(REMOVE_RECURSE ${STAGE})
  set(config_args "")
  if(CONFIG)
    set(config_args --config ${CONFIG})
  endif()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE} ${config_args})
  foreach(file include/dibjpeg/dibjpeg.h ${LIBDIR}/${SONAME_FILE} ${LIBDIR}/pkgconfig/dibjpeg.pc
               ${LIBDIR}/cmake/dibjpeg/dibjpegConfig.cmake ${LIBDIR}/cmake/dibjpeg/dibjpegConfigVersion.cmake
               share/doc/dibjpeg/LICENSE)
    if(NOT EXISTS ${STAGE}/${file})
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
  # The installed program runs from the installed tree and finds the library.
  if(WITH_CLI)
    if(NOT EXISTS ${STAGE}/share/man/man1/dibjpeg.1)
      message(FATAL_ERROR "not installed: share/man/man1/dibjpeg.1")
    endif()
    run(${STAGE}/bin/dibjpeg --version)
    if(NOT output STREQUAL "dibjpeg ${VERSION}\n")
      message(FATAL_ERROR "installed dibjpeg --version printed '${output}', want 'dibjpeg ${VERSION}'")
    endif()
  endif()
elseif(ACTION STREQUAL "consume")
  file(REMOVE_RECURSE ${WORK})
  # Only the staging tree may satisfy the search.
  set(ENV{PKG_CONFIG_LIBDIR} ${STAGE}/${LIBDIR}/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${WORK} -DDIBJPEG_FIND=${FIND}
      -DCMAKE_PREFIX_PATH=${STAGE} -DCMAKE_C_COMPILER=${C_COMPILER})
  run(${CMAKE_COMMAND} --build ${WORK})
  run(${WORK}/consumer ${WORK}/out.jpg)
  message(STATUS "${output}")
  file(READ ${WORK}/out.jpg head LIMIT 2 HEX)
  file(SIZE ${WORK}/out.jpg size)
  math(EXPR tail_offset "${size} - 2")
  file(READ ${WORK}/out.jpg tail OFFSET ${tail_offset} HEX)
  if(NOT head STREQUAL "ffd8" OR NOT tail STREQUAL "ffd9" OR NOT output MATCHES "${size} bytes")
    message(FATAL_ERROR "consumer output is no JPEG stream of the reported size: starts ${head}, ends ${tail}, ${size} bytes")
  endif()
else()
  message(FATAL_ERROR "ACTION must be install or consume")
endif()
