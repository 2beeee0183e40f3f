# The people and AI screens as a user works them, on the real model against
# the reference service and the Codex CLI double.
quarn_add_test(test_people_screens CODEX_DOUBLE SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_people_screens.cpp
  LIBS quarn_ui quarn_reference_service quarn_scripted_http Qt6::QuickTest
  LABELS ui integration
  TIMEOUT 300)
set_property(TEST test_people_screens APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan-qtquick.supp:print_suppressions=0")
