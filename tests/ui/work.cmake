# The work lens driven through its controls: sidebar and toolbar, the
# conversation list and pane, the reply box, the status menu and the Orro sheet.
quarn_add_test(test_work CODEX_DOUBLE SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_work.cpp
  LIBS quarn_ui quarn_reference_service quarn_scripted_http Qt6::QuickTest
  LABELS ui integration
  TIMEOUT 400)
set_property(TEST test_work APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan-qtquick.supp:print_suppressions=0")
