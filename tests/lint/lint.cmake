# The distribution's linters (label lint): shellcheck on every shell script,
# mandoc -Tlint on the man pages, lintian on the Debian package.
add_test(NAME lint_shell_scripts
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/lint_test.sh shell ${CMAKE_SOURCE_DIR})
add_test(NAME lint_man_pages
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/lint_test.sh man ${CMAKE_SOURCE_DIR})
set_tests_properties(lint_shell_scripts lint_man_pages PROPERTIES LABELS lint TIMEOUT 300)
# The package as users get it: not from the sanitizer build.
if(TARGET korvel AND TARGET korvel-sim AND NOT KORVEL_SANITIZE)
  add_test(NAME lint_package
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/lint_test.sh package ${CMAKE_BINARY_DIR})
  set_tests_properties(lint_package PROPERTIES LABELS lint TIMEOUT 600)
endif()
