# The command line of the real programs: --help, --version, --list-ports,
# --port in each form, and every bad command line ending with status 2 and
# one line on standard error, before any board is touched.
if(TARGET korvel AND TARGET korvel-sim)
  add_test(NAME command_line
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/command_line_test.sh
      $<TARGET_FILE:korvel> $<TARGET_FILE:korvel-sim> ${PROJECT_VERSION})
  set_tests_properties(command_line PROPERTIES LABELS process TIMEOUT 600)
endif()
