quarn_add_bench(bench_service SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_service.cpp LIBS quarn_mail_service_lib)
