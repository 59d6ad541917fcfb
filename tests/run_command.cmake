# run(COMMAND...): runs a command for a -P script, stops the script with the
# command line and its output when it fails, and leaves its output in
# `output` otherwise.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${result}): ${command}\n${out}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()
