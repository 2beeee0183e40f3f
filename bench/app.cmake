# The app model's search and reload with 10,000 conversations from the
# reference service (its test fixture starts the real service).
if(TARGET quarn_reference_service)
  quarn_add_bench(bench_app QT_MAIN SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_app.cpp
    LIBS quarn_app quarn_reference_service quarn_bench_seeding QCoro6::Network nlohmann_json::nlohmann_json)
endif()
