# Installing korvel: into a scratch prefix (the installed programs, desktop
# entries, man pages, icons and the optional udev rule) and as a Debian
# package (its control fields, dependencies and files). Both need the two
# executables. The installed korvel-sim is started through the signal test's
# driver where the build has one.
if(TARGET korvel AND TARGET korvel-sim)
  if(KORVEL_INSTALL_UDEV_RULE)
    set(udev_rule lib/udev/rules.d/60-korvel-parport.rules)
  else()
    set(udev_rule "")
  endif()
  set(driver "$<$<TARGET_EXISTS:sim_signal_driver>:$<TARGET_FILE:sim_signal_driver>>")
  foreach(mode tree deb)
    add_test(NAME install_${mode}
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${mode} ${CMAKE_BINARY_DIR}
              $<$<STREQUAL:${mode},tree>:${driver}>)
    set_tests_properties(install_${mode} PROPERTIES
      LABELS install
      ENVIRONMENT "KORVEL_UDEV_RULE=${udev_rule}"
      SKIP_RETURN_CODE 77
      TIMEOUT 600)
  endforeach()
endif()
