# The machine test: the installed package's korvel on Debian 12's own kernel
# and parallel-port drivers in QEMU, judged from QEMU's trace of the port
# accesses. Needs the package (cpack) and so both executables.
if(TARGET korvel AND TARGET korvel-sim AND NOT KORVEL_SANITIZE)
  # The board behind the machine's port at 0x378: preloaded into QEMU, never
  # linked by an installed program. (Not in the sanitizer build: a sanitized
  # library cannot be preloaded into an unsanitized QEMU.)
  add_library(korvel_vm_board SHARED ${CMAKE_CURRENT_LIST_DIR}/board_preload.cpp)
  target_link_libraries(korvel_vm_board PRIVATE korvel_sim ${CMAKE_DL_LIBS})
  set_target_properties(korvel_sim korvel_port PROPERTIES POSITION_INDEPENDENT_CODE ON)
  # How QEMU runs the machine, against a stand-in QEMU that aborts under KVM.
  add_test(NAME vm_accel_choice COMMAND ${CMAKE_CURRENT_LIST_DIR}/choose_accel_test.sh)
  set_tests_properties(vm_accel_choice PROPERTIES LABELS vm TIMEOUT 120)
  add_test(NAME vm_board_library
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/board_preload_test.py
      $<TARGET_FILE:korvel_vm_board>)
  set_tests_properties(vm_board_library PROPERTIES LABELS vm TIMEOUT 60)

  add_test(NAME vm_real_kernel
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/vm_test.sh ${CMAKE_BINARY_DIR}
      $<TARGET_FILE:korvel_vm_board>)
  # Generous: the machine is emulated on a shared, busy host. The script
  # bounds the machine itself to 9 minutes.
  set_tests_properties(vm_real_kernel PROPERTIES
    LABELS vm
    TIMEOUT 900)
endif()

# The judge of the machine test's traffic and readings, against known faults.
add_test(NAME vm_check_trace_self_test
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_trace.py --self-test)
set_tests_properties(vm_check_trace_self_test PROPERTIES LABELS vm)
