# The main reload against the reference service: what the list views are told.
quarn_add_test(test_reload SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_reload.cpp ${CMAKE_CURRENT_LIST_DIR}/appmodelharness.h
  LIBS quarn_app quarn_reference_service quarn_scripted_http CODEX_DOUBLE LABELS app TIMEOUT 180)
