# korvel-sim driven through its remote interface by the real PyVISA-py
# client, its reading log after a kill -9, and its bad options refused.
# Skipped (77) without PyVISA.
# Debian's Python first: the packages install for it.
find_program(KORVEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KORVEL_PYTHON NAMES python3)
if(TARGET korvel-sim AND KORVEL_PYTHON)
  foreach(part commands record options)
    add_test(NAME remote_${part}
      COMMAND ${KORVEL_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/remote_driver.py
        $<TARGET_FILE:korvel-sim> ${part})
    set_tests_properties(remote_${part} PROPERTIES
      LABELS process TIMEOUT 600 SKIP_RETURN_CODE 77)
  endforeach()
endif()
