# The application shell: URL hand-off between processes, and the commands.
add_executable(urlhandoff-peer ${CMAKE_CURRENT_LIST_DIR}/urlhandoffpeer.cpp)
target_link_libraries(urlhandoff-peer PRIVATE quarn_app)
quarn_warnings(urlhandoff-peer)

quarn_add_test(test_urlhandoff SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_urlhandoff.cpp
  LIBS quarn_app Qt6::Network LABELS app)
add_dependencies(test_urlhandoff urlhandoff-peer)
target_compile_definitions(test_urlhandoff PRIVATE QUARN_URLHANDOFF_PEER="$<TARGET_FILE:urlhandoff-peer>")
