# The URL hand-off between processes, with the real executable as every start.
quarn_add_test(test_urlhandoff SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_urlhandoff.cpp
  LIBS quarn_app Qt6::Network LABELS app TIMEOUT 180)
add_dependencies(test_urlhandoff quarn-mail)
target_compile_definitions(test_urlhandoff PRIVATE QUARN_MAIL_EXECUTABLE="$<TARGET_FILE:quarn-mail>")

# The browser sign-in from end to end: headless Chromium on the service's page,
# the real executable as the second start. It runs in a loopback-only network
# namespace of its own, where the build's sign-in origin (127.0.0.1:8787) is
# free and nothing, the browser included, can leave the machine.
add_executable(test_browsersignin ${CMAKE_CURRENT_LIST_DIR}/test_browsersignin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/headlessbrowser.h)
target_link_libraries(test_browsersignin PRIVATE quarn_test_support Qt6::Test quarn_app quarn_reference_service
  quarn_scripted_http)
quarn_warnings(test_browsersignin)
target_compile_definitions(test_browsersignin PRIVATE QUARN_MAIL_EXECUTABLE="$<TARGET_FILE:quarn-mail>")
add_dependencies(test_browsersignin quarn-mail)
quarn_use_codex_double(test_browsersignin)
add_test(NAME test_browsersignin
  COMMAND ${CMAKE_SOURCE_DIR}/tests/support/loopback-only $<TARGET_FILE:test_browsersignin>)
set_tests_properties(test_browsersignin PROPERTIES
  TIMEOUT 180
  LABELS "app;integration"
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QUARN_TEST_BINARY_DIR=${CMAKE_BINARY_DIR};QUARN_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
