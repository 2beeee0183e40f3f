# The app model's workflows (conversation actions, links, sign-in, people,
# AI conversations) against the reference service and the Codex CLI double.
quarn_add_test(test_workflows CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_workflows.cpp ${CMAKE_CURRENT_LIST_DIR}/appmodelharness.h
  LIBS quarn_app quarn_reference_service quarn_scripted_http Qt6::Qml
  LABELS app
  TIMEOUT 300)
