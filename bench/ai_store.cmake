quarn_add_bench(bench_ai_store QT_MAIN SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_ai_store.cpp LIBS quarn_ai)
