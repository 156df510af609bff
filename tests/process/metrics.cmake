# /metrics and the alert rules under Debian's real Prometheus: the rules'
# unit tests (promtool test rules), and three korvel-sim scraped by a
# Prometheus of the test's own on loopback. Skipped (77) without the
# prometheus package.
find_program(KORVEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KORVEL_PYTHON NAMES python3)
if(KORVEL_PYTHON)
  add_test(NAME metrics_rules
    COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/metrics_driver.py ${PROJECT_SOURCE_DIR} rules)
  set_tests_properties(metrics_rules PROPERTIES LABELS "metrics;process" TIMEOUT 120 SKIP_RETURN_CODE 77)
  if(TARGET korvel-sim)
    add_test(NAME metrics_engine
      COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/metrics_driver.py ${PROJECT_SOURCE_DIR} engine
        $<TARGET_FILE:korvel-sim>)
    set_tests_properties(metrics_engine PROPERTIES LABELS "metrics;process" TIMEOUT 600 SKIP_RETURN_CODE 77)
  endif()
endif()
