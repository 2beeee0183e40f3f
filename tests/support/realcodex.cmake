# The real Codex CLI 0.147.0, end to end and offline.
#
# real_codex_fetch (fixture "real_codex") installs the CLI with npm into a cache
# folder shared between builds and runs, outside any namespace. Tests added with
# quarn_add_realcodex_test() require that fixture and run inside a loopback-only
# network namespace (tests/support/loopback-only); they skip only when the
# registry was unreachable.
#
# The cache folder: -DQUARN_CODEX_CACHE=..., else $QUARN_CODEX_CACHE, else
# ${XDG_CACHE_HOME:-$HOME/.cache}/quarn-mail/codex-0.147.0 (scripts/fetch-codex's default).
if(NOT QUARN_CODEX_CACHE)
  if(DEFINED ENV{QUARN_CODEX_CACHE} AND NOT "$ENV{QUARN_CODEX_CACHE}" STREQUAL "")
    set(realcodex_cache "$ENV{QUARN_CODEX_CACHE}")
  elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(realcodex_cache "$ENV{XDG_CACHE_HOME}/quarn-mail/codex-0.147.0")
  else()
    set(realcodex_cache "$ENV{HOME}/.cache/quarn-mail/codex-0.147.0")
  endif()
  set(QUARN_CODEX_CACHE "${realcodex_cache}" CACHE PATH "npm prefix that holds the real Codex CLI 0.147.0")
endif()
set_property(GLOBAL PROPERTY QUARN_REALCODEX_STATUS "${CMAKE_BINARY_DIR}/realcodex/fetch-status")

add_test(NAME real_codex_fetch
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/realcodex-fetch ${CMAKE_SOURCE_DIR}/scripts/fetch-codex
          ${QUARN_CODEX_CACHE} ${CMAKE_BINARY_DIR}/realcodex/fetch-status)
set_tests_properties(real_codex_fetch PROPERTIES
  FIXTURES_SETUP real_codex
  SKIP_RETURN_CODE 69
  LABELS real-codex
  TIMEOUT 900)

add_library(quarn_realcodex_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/realcodex.h
  ${CMAKE_CURRENT_LIST_DIR}/realcodex.cpp)
target_include_directories(quarn_realcodex_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
find_package(Threads REQUIRED)
target_link_libraries(quarn_realcodex_support
  PUBLIC Qt6::Core nlohmann_json::nlohmann_json Threads::Threads
  PRIVATE PkgConfig::HTTPLIB OpenSSL::Crypto)
quarn_warnings(quarn_realcodex_support)

# quarn_add_realcodex_test(<name> SOURCES ... [LIBS ...] [TIMEOUT s])
# Like quarn_add_test, but the test runs inside the loopback-only namespace and
# needs the fixture.
function(quarn_add_realcodex_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE quarn_test_support quarn_realcodex_support Qt6::Test ${T_LIBS})
  quarn_warnings(${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  get_property(status GLOBAL PROPERTY QUARN_REALCODEX_STATUS)
  add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tests/support/loopback-only $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED real_codex
    TIMEOUT ${T_TIMEOUT}
    LABELS real-codex
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_DISABLE_STACK_DUMP=1;QUARN_TEST_BINARY_DIR=${CMAKE_BINARY_DIR};QUARN_SOURCE_DIR=${CMAKE_SOURCE_DIR};QUARN_CODEX_CACHE=${QUARN_CODEX_CACHE};QUARN_CODEX_FETCH_STATUS=${status}")
endfunction()
