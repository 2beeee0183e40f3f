quarn_add_test(test_aiconversationstore SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_aiconversationstore.cpp LIBS quarn_ai LABELS ai)
