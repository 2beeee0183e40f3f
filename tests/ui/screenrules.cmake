# The work screens' rules, without a window.
quarn_add_test(test_screenrules SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_screenrules.cpp
  LIBS quarn_ui
  LABELS ui)
