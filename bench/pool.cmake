add_executable(pool_bench ${CMAKE_CURRENT_LIST_DIR}/pool_bench.cpp)
target_link_libraries(pool_bench PRIVATE vask_pool benchmark::benchmark)
