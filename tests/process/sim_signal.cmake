# korvel-sim ended by a termination signal: it exits with status 0 and leaves
# the simulated board in the safe state. The driver starts the real program
# offscreen with its board state in a scratch file.
if(TARGET korvel-sim)
  add_executable(sim_signal_driver ${CMAKE_CURRENT_LIST_DIR}/sim_signal_driver.cpp)
  target_link_libraries(sim_signal_driver PRIVATE korvel_sim)
  target_include_directories(sim_signal_driver PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
  foreach(sig TERM INT HUP)
    add_test(NAME sim_sig${sig}_leaves_board_safe
      COMMAND sim_signal_driver $<TARGET_FILE:korvel-sim> ${sig})
    set_tests_properties(sim_sig${sig}_leaves_board_safe PROPERTIES
      LABELS process
      TIMEOUT 240)
  endforeach()
endif()
