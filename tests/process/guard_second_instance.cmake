# A second korvel-sim on the board a first one holds (the same board state
# file): the first keeps the board; the second names the holder, runs without
# the board, and neither its exit (SIGTERM) nor its watchdog (after SIGKILL)
# touches the first's board.
if(TARGET korvel-sim-test)
  add_executable(guard_second_instance_driver
    ${CMAKE_CURRENT_LIST_DIR}/guard_second_instance_driver.cpp)
  target_link_libraries(guard_second_instance_driver PRIVATE korvel_sim)
  target_include_directories(guard_second_instance_driver PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/..)
  set_target_properties(guard_second_instance_driver PROPERTIES AUTOMOC OFF)
  foreach(how TERM KILL)
    string(TOLOWER ${how} name)
    add_test(NAME guard_second_instance_sig${name}_keeps_first_board
      COMMAND guard_second_instance_driver $<TARGET_FILE:korvel-sim-test> ${how})
    set_tests_properties(guard_second_instance_sig${name}_keeps_first_board PROPERTIES
      LABELS process TIMEOUT 400)
  endforeach()
endif()
