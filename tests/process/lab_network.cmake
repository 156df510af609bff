# korvel-sim found and reached on a lab network of its own: a network and
# mount namespace with a veth pair, its own D-Bus, rpcbind and avahi-daemon,
# and real clients (lxi-tools, PyVISA-py, avahi-browse, python3-zeroconf).
# Root or passwordless sudo; skipped (77) otherwise or without the tools.
find_program(KORVEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KORVEL_PYTHON NAMES python3)
if(TARGET korvel-sim AND KORVEL_PYTHON)
  add_test(NAME lab_network
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/lab_network_test.sh $<TARGET_FILE:korvel-sim> ${KORVEL_PYTHON})
  set_tests_properties(lab_network PROPERTIES LABELS "process;network" SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
