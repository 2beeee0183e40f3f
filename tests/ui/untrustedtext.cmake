# Text from outside shown as written on every screen, and screens that never
# reach the network, against the reference service and the Codex CLI double.
quarn_add_test(test_untrustedtext CODEX_DOUBLE SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_untrustedtext.cpp
  LIBS quarn_ui quarn_reference_service Qt6::QuickTest
  LABELS ui integration
  TIMEOUT 300)
set_property(TEST test_untrustedtext APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan-qtquick.supp:print_suppressions=0")
