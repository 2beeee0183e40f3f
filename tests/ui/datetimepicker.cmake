# The shared date-and-time picker on its own.
quarn_add_test(test_datetimepicker SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_datetimepicker.cpp
  LIBS quarn_ui
  LABELS ui)
set_property(TEST test_datetimepicker APPEND PROPERTY ENVIRONMENT
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan-qtquick.supp:print_suppressions=0")
