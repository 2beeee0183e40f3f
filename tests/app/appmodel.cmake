# The app model against a scripted service, the reference service and the
# Codex CLI double.
quarn_add_test(test_appmodel CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_appmodel.cpp ${CMAKE_CURRENT_LIST_DIR}/appmodelharness.h
  LIBS quarn_app quarn_reference_service quarn_scripted_http SQLite::SQLite3
  LABELS app
  TIMEOUT 300)
