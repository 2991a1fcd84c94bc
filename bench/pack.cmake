add_executable(pack_bench ${CMAKE_CURRENT_LIST_DIR}/pack_bench.cpp)
target_link_libraries(pack_bench PRIVATE vask_pack benchmark::benchmark)
