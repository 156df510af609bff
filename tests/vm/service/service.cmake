# korvel@.service under a real systemd in the test machine (label vm):
# start, SCPI, systemctl stop and systemctl kill --signal=KILL each end in
# the safe state, judged from QEMU's trace of the port.
if(TARGET korvel AND TARGET korvel-sim)
  add_test(NAME vm_service_unit
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/service_vm_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(vm_service_unit PROPERTIES LABELS vm TIMEOUT 900)
endif()

# The same machine on a view of the host without /.dockerenv and with a
# crowded /tmp, as an ordinary developer's machine is (needs root or
# passwordless sudo for a private mount namespace; skipped otherwise).
if(TARGET korvel AND TARGET korvel-sim)
  add_test(NAME vm_service_host_view
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/host_view_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(vm_service_host_view PROPERTIES LABELS vm TIMEOUT 900 SKIP_RETURN_CODE 77)
endif()

# The console watcher's verdicts on good and bad boots.
add_test(NAME vm_console_watch_self_test
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/watch_console.py --self-test)
set_tests_properties(vm_console_watch_self_test PROPERTIES LABELS vm)
