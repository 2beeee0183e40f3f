# The list models' change signals, without a service.
quarn_add_test(test_listmodels SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_listmodels.cpp LIBS quarn_app LABELS app)
