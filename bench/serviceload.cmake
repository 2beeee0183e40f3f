# The reference service as a process under load (see bench_serviceload.cpp).
if(TARGET quarn_reference_service)
  quarn_add_bench(bench_serviceload QT_MAIN SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_serviceload.cpp
    LIBS quarn_reference_service quarn_bench_seeding)
endif()
