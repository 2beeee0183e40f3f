# Answers that arrive after the user has moved on, follow-up reload failures,
# start-up loading and the refresh loop's ticks, against a scripted service
# that holds chosen answers back.
quarn_add_test(test_lateanswers CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lateanswers.cpp ${CMAKE_CURRENT_LIST_DIR}/appmodelharness.h
  LIBS quarn_app quarn_scripted_http
  LABELS app
  TIMEOUT 300)
