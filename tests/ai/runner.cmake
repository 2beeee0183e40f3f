# Codex CLI discovery, trust and staging, the supervised child run and the
# triage/subject/chat frame, driven through the Codex CLI double.
set(codex_double_definition QUARN_CODEX_DOUBLE="$<TARGET_FILE:codex-double>")

quarn_add_test(test_codexprocess
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_codexprocess.cpp ${CMAKE_CURRENT_LIST_DIR}/codexdoublehome.h
  LIBS quarn_ai
  TIMEOUT 120)
target_compile_definitions(test_codexprocess PRIVATE ${codex_double_definition})
add_dependencies(test_codexprocess codex-double)

quarn_add_test(test_codextrust
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_codextrust.cpp ${CMAKE_CURRENT_LIST_DIR}/codexdoublehome.h
  LIBS quarn_ai
  TIMEOUT 120)
target_compile_definitions(test_codextrust PRIVATE ${codex_double_definition})
add_dependencies(test_codextrust codex-double)
quarn_add_test(test_codexrunner
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_codexrunner.cpp ${CMAKE_CURRENT_LIST_DIR}/codexdoublehome.h
  LIBS quarn_ai
  TIMEOUT 180)
target_compile_definitions(test_codexrunner PRIVATE ${codex_double_definition})
add_dependencies(test_codexrunner codex-double)
