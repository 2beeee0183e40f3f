quarn_add_test(test_codexprompts SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_codexprompts.cpp LIBS quarn_ai LABELS ai)
