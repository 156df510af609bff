# korvel-sim with a reading store: kill -9 mid-write many times, a restart
# that keeps the readings, and the stores it refuses.
find_program(KORVEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KORVEL_PYTHON NAMES python3)
if(TARGET korvel-sim AND KORVEL_PYTHON)
  foreach(part kill restart refuse)
    add_test(NAME store_${part}
      COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/store_driver.py
        $<TARGET_FILE:korvel-sim> ${part})
    set_tests_properties(store_${part} PROPERTIES LABELS process TIMEOUT 600)
  endforeach()
endif()
