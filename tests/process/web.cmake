# korvel-sim's web page: a real browser (headless chromium driven by
# selenium) and plain HTTP clients against --http. Skipped (77) without
# selenium or chromium. The browser run leaves its screenshot in
# web_page.png of the build's tests folder.
find_program(KORVEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KORVEL_PYTHON NAMES python3)
if(TARGET korvel-sim AND KORVEL_PYTHON)
  add_test(NAME web_browser
    COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/web_driver.py
      $<TARGET_FILE:korvel-sim> browser ${CMAKE_CURRENT_BINARY_DIR}/web_page.png)
  add_test(NAME web_security
    COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/web_driver.py
      $<TARGET_FILE:korvel-sim> security)
  foreach(part options https)
    add_test(NAME web_${part}
      COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/web_driver.py $<TARGET_FILE:korvel-sim> ${part})
  endforeach()
  set_tests_properties(web_browser web_security web_options web_https PROPERTIES
    LABELS process TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
