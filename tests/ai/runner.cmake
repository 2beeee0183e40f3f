# Codex CLI discovery, trust and staging, the supervised child run and the
# triage/subject/chat frame, driven through the Codex CLI double.
quarn_add_test(test_codexprocess CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_codexprocess.cpp ${CMAKE_CURRENT_LIST_DIR}/codexdoublehome.h
  LIBS quarn_ai
  TIMEOUT 120)

quarn_add_test(test_codextrust CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_codextrust.cpp ${CMAKE_CURRENT_LIST_DIR}/codexdoublehome.h
  LIBS quarn_ai
  TIMEOUT 120)

quarn_add_test(test_codexrunner CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_codexrunner.cpp ${CMAKE_CURRENT_LIST_DIR}/codexdoublehome.h
  LIBS quarn_ai
  TIMEOUT 180)

# Trust checks and staging as another user than the test's (see the program).
add_executable(codex-stage-probe ${CMAKE_CURRENT_LIST_DIR}/codexstageprobe.cpp)
target_link_libraries(codex-stage-probe PRIVATE quarn_ai)
quarn_warnings(codex-stage-probe)
add_dependencies(test_codextrust codex-stage-probe)
target_compile_definitions(test_codextrust PRIVATE QUARN_CODEX_STAGE_PROBE="$<TARGET_FILE:codex-stage-probe>")
add_dependencies(test_codexrunner codex-stage-probe)
target_compile_definitions(test_codexrunner PRIVATE QUARN_CODEX_STAGE_PROBE="$<TARGET_FILE:codex-stage-probe>")
