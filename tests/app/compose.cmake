# The compose window's rules, the setup screens' enabling rule and the mail
# signature preference, without screens; the subject runs on the Codex CLI double.
quarn_add_test(test_composesession CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_composesession.cpp ${CMAKE_CURRENT_LIST_DIR}/appmodelharness.h
  LIBS quarn_app quarn_reference_service quarn_scripted_http
  LABELS app
  TIMEOUT 120)
