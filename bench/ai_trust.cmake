quarn_add_bench(bench_ai_trust SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_ai_trust.cpp LIBS quarn_ai OpenSSL::Crypto)
