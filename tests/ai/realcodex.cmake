# The AI engine against the real Codex CLI 0.147.0 (label real-codex): see
# tests/support/realcodex.cmake for the fixture and the loopback-only namespace.
quarn_add_realcodex_test(test_realcodex
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_realcodex.cpp
  LIBS quarn_ai
  TIMEOUT 300)
