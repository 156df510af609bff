# The command line of the real programs: --help, --version, --list-ports,
# --port in each form, and every bad command line ending with status 2 and
# one line on standard error, before any board is touched.
# korvel-sim's test build has the same command line, and ends each run by
# the user actions it is given.
if(TARGET korvel AND TARGET korvel-sim-test)
  add_test(NAME command_line
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/command_line_test.sh
      $<TARGET_FILE:korvel> $<TARGET_FILE:korvel-sim-test> ${PROJECT_VERSION})
  set_tests_properties(command_line PROPERTIES LABELS process TIMEOUT 600)
endif()
