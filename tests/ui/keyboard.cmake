# The keyboard alone after start: focus, list keys, filing with undo, compose,
# search, the command palette and the shortcut sheet, from the command table.
quarn_add_test(test_keyboard CODEX_DOUBLE SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_keyboard.cpp
  LIBS quarn_ui quarn_reference_service quarn_scripted_http Qt6::QuickTest
  LABELS ui integration
  TIMEOUT 400)
set_property(TEST test_keyboard APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan-qtquick.supp:print_suppressions=0")
