# quarn_reference_service: starts the reference mail service (service/) as a
# child process on 127.0.0.1 for integration tests (see referenceservice.h).
add_library(quarn_reference_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/referenceservice.h
  ${CMAKE_CURRENT_LIST_DIR}/referenceservice.cpp)
target_include_directories(quarn_reference_service PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(quarn_reference_service PUBLIC Qt6::Core)
target_compile_definitions(quarn_reference_service PRIVATE
  QUARN_MAIL_SERVICE_BINARY="$<TARGET_FILE:quarn-mail-service>"
  QUARN_REFERENCE_MAIL_DOMAIN="${QUARN_MAIL_DOMAIN}")
# Tests linking the fixture need the service binary built.
add_dependencies(quarn_reference_service quarn-mail-service)
quarn_warnings(quarn_reference_service)
