# Runs korvel-bench and checks how each run ended (ctest script).
#   PROGRAM  the program
#   ARGS     its arguments; several runs separated by '|'
#   PREFIX   a command put before it (e.g. timeout), optional
#   STATUS   the exit status every run must give
#   OUT      a regular expression standard output must match, optional
#   ERR      one for standard error, optional; with a non-zero STATUS the
#            error must also be a single line
string(REPLACE "|" ";" runs "${ARGS}")
separate_arguments(prefix UNIX_COMMAND "${PREFIX}")
foreach(run IN LISTS runs)
  separate_arguments(args UNIX_COMMAND "${run}")
  execute_process(COMMAND ${prefix} ${PROGRAM} ${args}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(what "korvel-bench ${run}")
  if(NOT status STREQUAL STATUS)
    message(FATAL_ERROR "${what}: exit status ${status}, expected ${STATUS}\n"
      "--- stdout\n${out}--- stderr\n${err}")
  endif()
  if(DEFINED OUT AND NOT out MATCHES "${OUT}")
    message(FATAL_ERROR "${what}: standard output does not match\n${OUT}\n--- stdout\n${out}")
  endif()
  if(DEFINED ERR AND NOT err MATCHES "${ERR}")
    message(FATAL_ERROR "${what}: standard error does not match\n${ERR}\n--- stderr\n${err}")
  endif()
  if(NOT STATUS EQUAL 0)
    string(REGEX MATCHALL "\n" newlines "${err}")
    list(LENGTH newlines lines)
    if(NOT lines EQUAL 1 OR NOT err MATCHES "\n$")
      message(FATAL_ERROR "${what}: expected one diagnostic line\n--- stderr\n${err}")
    endif()
  endif()
  message(STATUS "${what}: ok\n${out}")
endforeach()
