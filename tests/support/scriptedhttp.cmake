# quarn_scripted_http: an HTTP server on 127.0.0.1 that tests script answer by
# answer and that records every request (see scriptedhttpserver.h).
add_library(quarn_scripted_http STATIC
  ${CMAKE_CURRENT_LIST_DIR}/scriptedhttpserver.h
  ${CMAKE_CURRENT_LIST_DIR}/scriptedhttpserver.cpp)
target_include_directories(quarn_scripted_http PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(quarn_scripted_http PUBLIC Qt6::Core PRIVATE PkgConfig::HTTPLIB)
find_package(Threads REQUIRED)
target_link_libraries(quarn_scripted_http PUBLIC Threads::Threads)
quarn_warnings(quarn_scripted_http)
