# The presentation rules of the people and AI screens, without a window.
quarn_add_test(test_presentation SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_presentation.cpp LIBS quarn_ui LABELS ui)
