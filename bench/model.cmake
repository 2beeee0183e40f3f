quarn_add_bench(bench_model SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_model.cpp LIBS quarn_model simdjson::simdjson)
