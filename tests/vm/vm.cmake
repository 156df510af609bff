# The machine test: the installed package's korvel on Debian 12's own kernel
# and parallel-port drivers in QEMU, judged from QEMU's trace of the port
# accesses. Needs the package (cpack) and so both executables.
if(TARGET korvel AND TARGET korvel-sim)
  add_test(NAME vm_real_kernel
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/vm_test.sh ${CMAKE_BINARY_DIR})
  # Generous: the machine is emulated on a shared, busy host. The script
  # bounds the machine itself to 9 minutes.
  set_tests_properties(vm_real_kernel PROPERTIES
    LABELS vm
    TIMEOUT 900)
endif()
