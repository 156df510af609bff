# Both programs without a window: korvel-sim driven by PyVISA-py with no
# display and no widget library loaded, ended by each termination signal;
# the refusals, and that a refused start announces nothing and listens
# nowhere; korvel --make-safe on a machine without a port. Skipped (77)
# without PyVISA.
find_program(KORVEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KORVEL_PYTHON NAMES python3)
if(TARGET korvel-sim AND TARGET korvel AND KORVEL_PYTHON)
  foreach(part drive refusals refused-start notify make-safe)
    string(REPLACE "-" "_" name ${part})
    add_test(NAME no_window_${name}
      COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/no_window_driver.py
        $<TARGET_FILE:korvel-sim> $<TARGET_FILE:korvel> ${part})
    set_tests_properties(no_window_${name} PROPERTIES
      LABELS process TIMEOUT 600 SKIP_RETURN_CODE 77)
  endforeach()
endif()
