# The screens, loaded as the application loads them (offscreen), on the real
# model against the reference service and the Codex CLI double.
quarn_add_test(test_mainwindow CODEX_DOUBLE SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainwindow.cpp
  LIBS quarn_ui quarn_reference_service quarn_scripted_http Qt6::QuickTest
  LABELS ui integration
  TIMEOUT 300)
# Only for screen tests, and only Qt's own allocations at exit (see the file).
set_property(TEST test_mainwindow APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan-qtquick.supp:print_suppressions=0")
