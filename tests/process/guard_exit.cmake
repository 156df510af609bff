# Every way out of a live panel leaves the board safe: korvel-sim (its test
# build, which plays user actions, crashes included) is switched
# ON with a set-point, then ended one way (a user action, a signal from
# outside, a crash, a kill); the board must hold the safe state, written once,
# within 200 ms of the end. One test per way, and a few with a second port
# driven, where the board at 0x378 is left live by the panel itself.
if(TARGET korvel-sim-test)
  add_executable(guard_exit_driver ${CMAKE_CURRENT_LIST_DIR}/guard_exit_driver.cpp)
  target_link_libraries(guard_exit_driver PRIVATE korvel_sim)
  target_include_directories(guard_exit_driver PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/..)
  set_target_properties(guard_exit_driver PROPERTIES AUTOMOC OFF)

  set(korvel_guard_ways
    exit close throw segv-fault
    SIGINT SIGTERM SIGHUP SIGSEGV SIGBUS SIGABRT SIGFPE SIGILL SIGKILL
    SIGQUIT SIGPIPE SIGALRM SIGUSR1 SIGXCPU)
  foreach(way ${korvel_guard_ways})
    string(TOLOWER ${way} name)
    string(REPLACE "-" "_" name ${name})
    add_test(NAME guard_${name}_leaves_board_safe
      COMMAND guard_exit_driver $<TARGET_FILE:korvel-sim-test> ${way})
    set_tests_properties(guard_${name}_leaves_board_safe PROPERTIES
      LABELS process TIMEOUT 400)
  endforeach()

  foreach(way exit SIGTERM SIGSEGV SIGKILL)
    string(TOLOWER ${way} name)
    add_test(NAME guard_two_ports_${name}_leaves_board_safe
      COMMAND guard_exit_driver $<TARGET_FILE:korvel-sim-test> ${way} two-ports)
    set_tests_properties(guard_two_ports_${name}_leaves_board_safe PROPERTIES
      LABELS process TIMEOUT 400)
  endforeach()
endif()
