# korvel@.service under a real systemd in the test machine (label vm):
# start, SCPI, systemctl stop and systemctl kill --signal=KILL each end in
# the safe state, judged from QEMU's trace of the port.
if(TARGET korvel AND TARGET korvel-sim)
  add_test(NAME vm_service_unit
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/service_vm_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(vm_service_unit PROPERTIES LABELS vm TIMEOUT 900)
endif()
