# The AI lens as a user works it, on the real model against the reference
# service and the Codex CLI double.
quarn_add_test(test_ai_screens CODEX_DOUBLE SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_ai_screens.cpp
  LIBS quarn_ui quarn_reference_service Qt6::QuickTest
  LABELS ui integration
  TIMEOUT 300)
set_property(TEST test_ai_screens APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan-qtquick.supp:print_suppressions=0")
