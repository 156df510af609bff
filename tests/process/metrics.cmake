# /metrics and the alert rules under Debian's real Prometheus: the rules'
# unit tests, and three korvel-sim scraped by a Prometheus of the test's own
# on loopback (skipped, 77, without the prometheus package).
find_program(KORVEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KORVEL_PYTHON NAMES python3)
find_program(KORVEL_PROMTOOL promtool)
if(KORVEL_PROMTOOL)
  add_test(NAME metrics_rules COMMAND ${KORVEL_PROMTOOL} test rules korvel.rules.test.yml
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/prometheus)
  set_tests_properties(metrics_rules PROPERTIES LABELS "metrics;process" TIMEOUT 120)
endif()
if(KORVEL_PYTHON AND TARGET korvel-sim)
  add_test(NAME metrics_engine COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/metrics_driver.py
    ${PROJECT_SOURCE_DIR} $<TARGET_FILE:korvel-sim>)
  set_tests_properties(metrics_engine PROPERTIES LABELS "metrics;process" TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
