# The desktop's scheme and motion settings through the Settings portal, on a
# private session bus with a stand-in portal.
quarn_add_test(test_desktopappearance SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_desktopappearance.cpp
  LIBS quarn_ui Qt6::DBus Qt6::Qml LABELS ui)
