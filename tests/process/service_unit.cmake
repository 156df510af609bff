# The systemd unit korvel@.service passes systemd's own checks: verify, and
# a security exposure of 2.0 or lower.
if(TARGET korvel)
  add_test(NAME service_unit
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/service_unit_test.sh
      ${PROJECT_SOURCE_DIR}/dist/korvel@.service.in $<TARGET_FILE_DIR:korvel>)
  set_tests_properties(service_unit PROPERTIES LABELS process SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
