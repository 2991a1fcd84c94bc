add_executable(ini_bench ${CMAKE_CURRENT_LIST_DIR}/ini_bench.cpp)
target_link_libraries(ini_bench PRIVATE vask_config benchmark::benchmark)
