# Desktop notifications and the launcher count, on a private session bus
# (dbus-daemon) against the reference service.
quarn_add_test(test_desktopnotifier CODEX_DOUBLE
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_desktopnotifier.cpp ${CMAKE_CURRENT_LIST_DIR}/appmodelharness.h
  LIBS quarn_app quarn_reference_service quarn_scripted_http Qt6::DBus
  LABELS app
  TIMEOUT 180)
