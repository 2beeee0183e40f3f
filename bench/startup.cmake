# Start-up of the real application against the reference service, against an
# empty Qt Quick window's start in the same run.
if(TARGET quarn-mail AND TARGET quarn_reference_service)
  add_executable(emptywindow ${CMAKE_CURRENT_LIST_DIR}/emptywindow.cpp)
  target_link_libraries(emptywindow PRIVATE quarn_ui Qt6::Gui Qt6::Quick Qt6::Qml)
  quarn_warnings(emptywindow)
  quarn_add_bench(bench_startup QT_MAIN SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_startup.cpp
    LIBS quarn_app quarn_reference_service)
  target_compile_definitions(bench_startup PRIVATE
    QUARN_APP_BINARY="$<TARGET_FILE:quarn-mail>"
    QUARN_EMPTY_WINDOW_BINARY="$<TARGET_FILE:emptywindow>")
  add_dependencies(bench_startup quarn-mail emptywindow)
endif()
