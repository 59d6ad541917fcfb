# Fails unless the shared library's dynamic symbol table defines exactly one
# function, Jpeg_EncodeStart.
# NM: the target's nm (cross builds); the build machine's otherwise.
if(NOT NM)
  find_program(NM nm REQUIRED)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  # Columns: value, type, name. Skip the linker's own absolute symbols.
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) (.+)$")
    set(type "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    if(NOT type STREQUAL "A")
      list(APPEND exported "${name}")
    endif()
  endif()
endforeach()
if(NOT exported STREQUAL "Jpeg_EncodeStart")
  message(FATAL_ERROR "have exports [${exported}], want [Jpeg_EncodeStart]")
endif()
message(STATUS "exports: ${exported}")
