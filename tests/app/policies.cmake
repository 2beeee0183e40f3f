quarn_add_test(test_policies SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_policies.cpp LIBS quarn_app LABELS app)
